#include "tasks/enginetransaction.h"

#include <cwchar>

#include "base/files.h"
#include "base/messages.h"
#include "base/platform.h"
#include "base/process.h"

const EngineFile kEngineFiles[kEngineFileCount] = {
    {L"control", {L"wb", L"ent", L".ocx"}},
    {L"companion file", {L"wb", L"ent", L".lic"}},
    {L"library", {L"wb", L"64", L".dll"}},
};

namespace {

// The journal's names, one per step of a run.
const wchar_t kStaging[] = L".staging";
const wchar_t kReplacing[] = L".replacing";
const wchar_t kCommitting[] = L".committing";  // the longest name beside the stem

const wchar_t* const kStagedSuffixes[kEngineFileCount] = {L".0.new", L".1.new", L".2.new"};
const wchar_t* const kBackupSuffixes[kEngineFileCount] = {L".0.old", L".1.old", L".2.old"};

// The journal is UTF-16 text: this line, then one line per engine file, "1 <name>" for a
// target that was there before the run and "0 <name>" for one that was not.
const wchar_t kJournalHeader[] = L"QelInstallHelper engine journal 1\r\n";

// Trash names for files in use: enough for many runs between two restarts.
const int kTrashNames = 100;

// Every rename reaches the disk before the call returns: the journal's name must never be
// ahead of the files it describes.
const DWORD kMoveFlags = MOVEFILE_WRITE_THROUGH;

const wchar_t* BareName(const wchar_t* path) {
  const wchar_t* slash = wcsrchr(path, L'\\');
  return slash != nullptr ? slash + 1 : path;
}

bool HelperPath(wchar_t* dest, const EngineTransaction& tx, const wchar_t* suffix) {
  return ConcatPath(dest, tx.stem, suffix);
}

bool StagedPath(wchar_t* dest, const EngineTransaction& tx, int i) { return HelperPath(dest, tx, kStagedSuffixes[i]); }
bool BackupPath(wchar_t* dest, const EngineTransaction& tx, int i) { return HelperPath(dest, tx, kBackupSuffixes[i]); }

// FNV-1a over the name with ASCII letters lowered, so every spelling gives the same stem.
DWORD NameHash(const wchar_t* name) {
  DWORD hash = 2166136261u;
  for (; *name != 0; ++name) {
    hash ^= LowerAscii(*name);
    hash *= 16777619u;
  }
  return hash;
}

// A bare name of the kind of engine file i; a journal naming anything else is not followed.
bool IsEngineFileName(const wchar_t* name, int i) {
  if (name[0] == 0 || wcspbrk(name, L"\\/:") != nullptr) return false;
  for (const wchar_t* part : kEngineFiles[i].parts) {
    if (!ContainsNoCase(name, part)) return false;
  }
  return true;
}

bool IsFile(const wchar_t* path) {
  QEL_TRACE();
  return GetFileAttributesImpl(path) != INVALID_FILE_ATTRIBUTES;
}

// Opens the journal of this phase's name: a new one (CREATE_NEW) or one that an earlier run
// left (OPEN_EXISTING). Nobody else may write it while it is open, and the run can rename
// and delete it meanwhile. False, with the last error, when it cannot be opened: there is
// none, or another run holds it (ERROR_SHARING_VIOLATION).
bool OpenJournal(EngineTransaction& tx, const wchar_t* phase, DWORD disposition) {
  QEL_TRACE();
  PlatformCalls& platform = Platform();
  PathBuffer path = {};
  PathBuffer extended = {};
  const DWORD before = platform.GetLastError();
  if (HelperPath(path, tx, phase) && ExtendedLengthPath(extended, path)) {
    tx.journal.reset(platform.CreateFileW(extended, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_DELETE,
                                          nullptr, disposition, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_WRITE_THROUGH,
                                          nullptr));
  }
  const DWORD after = platform.GetLastError();
  DebugLog(L"OpenJournal: LastError before: <%x>, opened: <%d>, LastError after: <%x>, file: <%ls>, disposition: <%d>",
           before, tx.journal.valid(), after, path, disposition);
  if (tx.journal.valid()) tx.phase = phase;
  return tx.journal.valid();
}

// Writes the plan into the new journal and waits until it is on the disk.
bool WritePlan(const EngineTransaction& tx) {
  QEL_TRACE();
  PlatformCalls& platform = Platform();
  PathBuffer plan = {};
  PrintToBuffer(plan, L"%ls%d %ls\r\n%d %ls\r\n%d %ls\r\n", kJournalHeader, tx.existed[0], BareName(tx.targets[0]),
                tx.existed[1], BareName(tx.targets[1]), tx.existed[2], BareName(tx.targets[2]));
  const DWORD bytes = static_cast<DWORD>(wcslen(plan) * sizeof(wchar_t));
  DWORD written = 0;
  const DWORD before = platform.GetLastError();
  const bool recorded = platform.WriteFile(tx.journal.get(), plan, bytes, &written, nullptr) && written == bytes &&
                        platform.FlushFileBuffers(tx.journal.get());
  DebugLog(L"WritePlan: LastError before: <%x>, result: <%d>, LastError after: <%x>, bytes: <%u> of <%u>", before,
           recorded, platform.GetLastError(), written, bytes);
  return recorded;
}

// Reads the plan of a journal that an earlier run left; false (ERROR_INVALID_DATA) for one
// that does not hold exactly a plan of three engine files.
bool ReadPlan(EngineTransaction& tx) {
  QEL_TRACE();
  PlatformCalls& platform = Platform();
  PathBuffer text = {};
  const DWORD capacity = static_cast<DWORD>((kPathChars - 1) * sizeof(wchar_t));
  DWORD read = 0;
  const DWORD before = platform.GetLastError();
  const bool readAll = platform.ReadFile(tx.journal.get(), text, capacity, &read, nullptr) && read < capacity;
  DebugLog(L"ReadPlan: LastError before: <%x>, result: <%d>, LastError after: <%x>, bytes: <%u>", before, readAll,
           platform.GetLastError(), read);
  wchar_t* line = text + wcslen(kJournalHeader);
  bool valid = readAll && wcsncmp(text, kJournalHeader, wcslen(kJournalHeader)) == 0;
  for (int i = 0; valid && i < kEngineFileCount; ++i) {
    wchar_t* end = wcsstr(line, L"\r\n");
    valid = end != nullptr && (line[0] == L'0' || line[0] == L'1') && line[1] == L' ';
    if (!valid) break;
    *end = 0;
    tx.existed[i] = line[0] == L'1';
    valid = IsEngineFileName(line + 2, i) && JoinPath(tx.targets[i], tx.systemDir, line + 2);
    line = end + 2;
  }
  if (valid && line[0] == 0) return true;
  DebugLog(L"ReadPlan: the journal <%ls%ls> holds no plan; nothing is changed", tx.stem, tx.phase);
  platform.SetLastError(ERROR_INVALID_DATA);
  return false;
}

// Gives the journal the name of the next step.
bool MoveJournal(EngineTransaction& tx, const wchar_t* phase) {
  PathBuffer from = {};
  PathBuffer to = {};
  if (!HelperPath(from, tx, tx.phase) || !HelperPath(to, tx, phase)) return false;
  if (!MoveFileImpl(from, to, kMoveFlags)) return false;
  tx.phase = phase;
  return true;
}

// Closes the journal, and deletes it when the run's work on disk is done; otherwise it stays
// for the next run. Returns done.
bool CloseJournal(EngineTransaction& tx, bool done) {
  PathBuffer path = {};
  if (done && tx.journal.valid() && HelperPath(path, tx, tx.phase)) DeleteFileImpl(path);
  tx.journal.reset();
  return done;
}

// Has the file deleted at the next restart. It goes to a trash name first, so that its own
// name is free at once and no later file of that name is deleted at the restart.
bool DeleteAtRestart(const EngineTransaction& tx, const wchar_t* path) {
  QEL_TRACE();
  for (int n = 0; n < kTrashNames; ++n) {
    PathBuffer suffix = {};
    PathBuffer trash = {};
    PrintToBuffer(suffix, L".trash%d", n);
    if (!HelperPath(trash, tx, suffix)) return false;
    if (MoveFileImpl(path, trash, kMoveFlags)) {
      const bool scheduled = MoveFileImpl(trash, nullptr, MOVEFILE_DELAY_UNTIL_REBOOT);
      DebugLog(L"DeleteAtRestart: <%ls> is in use; as <%ls> it is deleted at the next restart (scheduled: <%d>), "
               L"which completes the replacement",
               path, trash, scheduled);
      return true;
    }
    const DWORD error = Platform().GetLastError();
    if (error != ERROR_ALREADY_EXISTS && error != ERROR_FILE_EXISTS) return false;
  }
  return false;
}

// Removes a file of the helper's own (a staged file, a backup): deleted, read-only or not,
// or else deleted at the next restart. True also when it was not there.
bool RemoveHelperFile(const EngineTransaction& tx, const wchar_t* path) {
  QEL_TRACE();
  if (DeleteFileImpl(path) || Platform().GetLastError() == ERROR_FILE_NOT_FOUND) return true;
  const DWORD attributes = GetFileAttributesImpl(path);
  if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY) != 0 &&
      SetFileAttributesImpl(path, attributes & ~FILE_ATTRIBUTE_READONLY) && DeleteFileImpl(path)) {
    return true;
  }
  return DeleteAtRestart(tx, path);
}

bool RemoveStagedFile(const EngineTransaction& tx, int i) {
  PathBuffer staged = {};
  return StagedPath(staged, tx, i) && RemoveHelperFile(tx, staged);
}

// Removes what was staged, then the journal.
bool DiscardStagedFiles(EngineTransaction& tx) {
  QEL_TRACE();
  bool removed = true;
  for (int i = 0; i < kEngineFileCount; ++i) removed = RemoveStagedFile(tx, i) && removed;
  return CloseJournal(tx, removed);
}

// The new file i is in its target's place: its staged copy is gone, and the earlier file
// lies in its backup (or, for a target that was not there before, the target is there).
bool IsReplaced(const EngineTransaction& tx, int i) {
  PathBuffer staged = {};
  PathBuffer backup = {};
  return StagedPath(staged, tx, i) && BackupPath(backup, tx, i) && !IsFile(staged) &&
         IsFile(tx.existed[i] ? backup : tx.targets[i]);
}

// File i as before the run, from what lies on disk: a new file in place goes aside under its
// staged name again, then a backup takes the target's place, and the new file goes.
bool PutBackEngineFile(const EngineTransaction& tx, int i) {
  QEL_TRACE();
  PathBuffer staged = {};
  PathBuffer backup = {};
  if (!StagedPath(staged, tx, i) || !BackupPath(backup, tx, i)) return false;
  if (IsReplaced(tx, i) && !MoveFileImpl(tx.targets[i], staged, kMoveFlags)) return false;
  if (IsFile(backup) && !MoveFileImpl(backup, tx.targets[i], kMoveFlags)) return false;
  return RemoveHelperFile(tx, staged);
}

// Brings back the earlier files and registration however far the replacement went: the new
// control leaves the registry while it is in place (best effort), each file is put back, and
// the earlier control is registered again. What cannot be put back stays recorded in the
// journal for the next run.
bool RollBackEngineFiles(EngineTransaction& tx) {
  QEL_TRACE();
  if (IsReplaced(tx, kEngineControl)) SpawnRegSvr(tx.targets[kEngineControl], false);
  bool restored = true;
  for (int i = 0; i < kEngineFileCount; ++i) restored = PutBackEngineFile(tx, i) && restored;
  if (tx.existed[kEngineControl]) {
    const int exitCode = SpawnRegSvr(tx.targets[kEngineControl], true);
    DebugLog(L"RollBackEngineFiles: the earlier control registered again, exit code: <%d>", exitCode);
  }
  return CloseJournal(tx, restored);
}

// Removes the backups of a committed run (one still loaded is deleted at the next restart),
// then the journal.
bool CompleteCommit(EngineTransaction& tx) {
  QEL_TRACE();
  bool removed = true;
  for (int i = 0; i < kEngineFileCount; ++i) {
    PathBuffer backup = {};
    removed = BackupPath(backup, tx, i) && RemoveHelperFile(tx, backup) && removed;
  }
  return CloseJournal(tx, removed);
}

// Mends what a run stopped half-way left, by the step its journal names: a commit is
// completed, a replacement rolled back, staged files removed. False, with *error, when that
// cannot be done now (another run holds the journal, a file is in use).
bool RecoverEngineFiles(const EngineTransaction& current, DWORD* error) {
  QEL_TRACE();
  for (const wchar_t* phase : {kCommitting, kReplacing, kStaging}) {
    EngineTransaction left;
    left.systemDir = current.systemDir;
    ConcatPath(left.stem, current.stem, nullptr);
    if (!OpenJournal(left, phase, OPEN_EXISTING)) {
      if (Platform().GetLastError() == ERROR_FILE_NOT_FOUND) continue;
      *error = Platform().GetLastError();
      return false;
    }
    DebugLog(L"RecoverEngineFiles: a run stopped at <%ls%ls>", left.stem, phase);
    const bool mended = phase == kCommitting  ? CompleteCommit(left)
                        : phase == kReplacing ? ReadPlan(left) && RollBackEngineFiles(left)
                                              : DiscardStagedFiles(left);
    if (!mended) {
      *error = Platform().GetLastError();
      return false;
    }
  }
  return true;
}

// Records the plan in a new journal and copies each new file beside its target under its
// staged name; then the journal names the next step. What was staged goes again on failure.
bool StageEngineFiles(EngineTransaction& tx, const wchar_t* engineDir, DWORD* error) {
  QEL_TRACE();
  for (int i = 0; i < kEngineFileCount; ++i) {
    const DWORD attributes = GetFileAttributesImpl(tx.targets[i]);
    // A query that fails for another reason tells nothing, and the plan must be right.
    if (attributes == INVALID_FILE_ATTRIBUTES && Platform().GetLastError() != ERROR_FILE_NOT_FOUND) {
      *error = Platform().GetLastError();
      return false;
    }
    tx.existed[i] = attributes != INVALID_FILE_ATTRIBUTES;
  }
  if (!OpenJournal(tx, kStaging, CREATE_NEW)) {
    *error = Platform().GetLastError();  // another run's journal is not this run's to remove
    return false;
  }
  bool staged = WritePlan(tx);
  for (int i = 0; staged && i < kEngineFileCount; ++i) {
    PathBuffer source = {};
    PathBuffer copy = {};
    staged = JoinPath(source, engineDir, BareName(tx.targets[i])) && StagedPath(copy, tx, i) &&
             CopyFileImpl(source, copy, false, false);
  }
  if (staged && MoveJournal(tx, kReplacing)) return true;
  *error = Platform().GetLastError();
  DiscardStagedFiles(tx);
  return false;
}

// Until staging succeeds or the user gives up; quiet mode gives up at once.
bool StageWithRetry(EngineTransaction& tx, const wchar_t* engineDir) {
  for (;;) {
    DWORD error = 0;
    if (RecoverEngineFiles(tx, &error) && StageEngineFiles(tx, engineDir, &error)) return true;
    if (!AskRetryEngineCopy(error)) return false;
  }
}

// The target goes aside to its backup name (unless it is there already), then the staged file
// takes its place.
bool SwapEngineFile(const EngineTransaction& tx, int i, DWORD* error) {
  QEL_TRACE();
  PathBuffer staged = {};
  PathBuffer backup = {};
  const bool swapped = StagedPath(staged, tx, i) && BackupPath(backup, tx, i) &&
                       (!tx.existed[i] || IsFile(backup) || MoveFileImpl(tx.targets[i], backup, kMoveFlags)) &&
                       MoveFileImpl(staged, tx.targets[i], kMoveFlags);
  if (!swapped) *error = Platform().GetLastError();
  return swapped;
}

bool SwapWithRetry(const EngineTransaction& tx) {
  for (int i = 0; i < kEngineFileCount; ++i) {
    DWORD error = 0;
    while (!SwapEngineFile(tx, i, &error)) {
      if (!AskRetryEngineCopy(error)) return false;
    }
  }
  return true;
}

// The journal's new name is the commit point: from there on the run is completed, never
// undone. Backups that cannot be removed now stay recorded for the next run.
bool CommitEngineFiles(EngineTransaction& tx) {
  QEL_TRACE();
  if (!MoveJournal(tx, kCommitting)) return false;
  CompleteCommit(tx);
  return true;
}

}  // namespace

bool PlanEngineTransaction(EngineTransaction& tx, const wchar_t* systemDir, const PathBuffer* names) {
  QEL_TRACE();
  tx.systemDir = systemDir;
  PathBuffer stemName = {};
  PathBuffer longest = {};
  PrintToBuffer(stemName, L"~qel-%08x", static_cast<unsigned>(NameHash(names[kEngineControl])));
  bool planned = JoinPath(tx.stem, systemDir, stemName) && HelperPath(longest, tx, kCommitting);
  for (int i = 0; planned && i < kEngineFileCount; ++i) planned = JoinPath(tx.targets[i], systemDir, names[i]);
  if (!planned) DebugLog(L"PlanEngineTransaction: the paths in <%ls> do not fit", systemDir);
  return planned;
}

int ReplaceEngineFiles(EngineTransaction& tx, const wchar_t* engineDir, int* registration) {
  QEL_TRACE();
  if (!StageWithRetry(tx, engineDir)) return 1;
  // An earlier control goes out of the registry before its file is replaced; whether the
  // tool managed it does not matter, the new control is registered over it.
  if (tx.existed[kEngineControl]) SpawnRegSvr(tx.targets[kEngineControl], false);
  if (SwapWithRetry(tx)) {
    const int exitCode = SpawnRegSvr(tx.targets[kEngineControl], true);
    if (exitCode == 0 && CommitEngineFiles(tx)) return 0;
    *registration = exitCode;
  }
  RollBackEngineFiles(tx);
  return 1;
}
