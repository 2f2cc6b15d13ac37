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

const wchar_t kEngineLockName[] = L"Global\\QelInstallHelper.EngineFiles";

namespace {

// One journal per system directory, whatever the engine files are called.
const wchar_t kStem[] = L"~qel-engine";

// Where the lock's holder records its process id, while it holds the lock.
const wchar_t kLockOwnerName[] = L"Global\\QelInstallHelper.EngineFiles.Owner";

// A whole replacement takes seconds; a run that gives up waiting asks whether to retry.
const DWORD kLockWaitMilliseconds = 60000;

// The journal's names, one per step of a run.
const wchar_t kStaging[] = L".staging";
const wchar_t kReplacing[] = L".replacing";
const wchar_t kCommitting[] = L".committing";  // the longest name beside the stem

const wchar_t* const kStagedSuffixes[kEngineFileCount] = {L".0.new", L".1.new", L".2.new"};
const wchar_t* const kBackupSuffixes[kEngineFileCount] = {L".0.old", L".1.old", L".2.old"};

// The journal is UTF-16 text: this line; then "<held before> <held after> <change>", the
// product's reference (1 held, 0 not) and what the run does; then one line per engine file,
// "<existed> <count before> <count after> <name>", existed 1 for a target that was there
// before the run and 0 for one that was not.
const wchar_t kJournalHeader[] = L"QelInstallHelper engine journal 2\r\n";
const wchar_t* const kChangeWords[] = {L"replace", L"remove", L"release"};

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

// A bare name of the kind of engine file i; a journal naming anything else is not followed.
bool IsEngineFileName(const wchar_t* name, int i) {
  if (name[0] == 0 || wcspbrk(name, L"\\/:") != nullptr) return false;
  for (const wchar_t* part : kEngineFiles[i].parts) {
    if (!ContainsNoCase(name, part)) return false;
  }
  return true;
}

// What lies at a path. A query that fails for another reason than a missing file tells
// nothing, and nothing is decided from it.
enum class Presence { Absent, Present, Unknown };

Presence LookUp(const wchar_t* path) {
  QEL_TRACE();
  if (GetFileAttributesImpl(path) != INVALID_FILE_ATTRIBUTES) return Presence::Present;
  return Platform().GetLastError() == ERROR_FILE_NOT_FOUND ? Presence::Absent : Presence::Unknown;
}

// Opens the record of the lock's holder (made when there is none) and maps a view of it.
// Without the record the lock works all the same.
bool MapLockOwner(UniqueHandle& record, UniqueView& view, DWORD access) {
  PlatformCalls& platform = Platform();
  const DWORD before = platform.GetLastError();
  record.reset(
      platform.CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, sizeof(DWORD), kLockOwnerName));
  if (record.valid()) view.reset(platform.MapViewOfFile(record.get(), access, 0, 0, sizeof(DWORD)));
  DebugLog(L"MapLockOwner: LastError before: <%x>, mapped: <%d>, LastError after: <%x>, section: <%ls>", before,
           view.valid(), platform.GetLastError(), kLockOwnerName);
  return view.valid();
}

// Records this process as the lock's holder, for as long as the lock lives.
void RecordLockOwner(EngineLock& lock) {
  UniqueView view;
  if (!MapLockOwner(lock.owner, view, FILE_MAP_WRITE)) return;
  *static_cast<DWORD*>(view.get()) = Platform().GetCurrentProcessId();
}

// The process id that the lock's holder recorded; 0 when there is none.
DWORD LockOwner() {
  UniqueHandle record;
  UniqueView view;
  return MapLockOwner(record, view, FILE_MAP_READ) ? *static_cast<const DWORD*>(view.get()) : 0;
}

// Opens the journal of this phase's name: a new one (CREATE_NEW) or one that an earlier run
// left (OPEN_EXISTING). Nobody else may write it while it is open, and the run can rename
// and delete it meanwhile. False, with the last error, when it cannot be opened: there is
// none, or another process holds it (ERROR_SHARING_VIOLATION).
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
  PrintToBuffer(plan, L"%ls%d %d %ls\r\n%d %lld %lld %ls\r\n%d %lld %lld %ls\r\n%d %lld %lld %ls\r\n", kJournalHeader,
                tx.heldBefore, tx.heldAfter, kChangeWords[static_cast<int>(tx.change)], tx.existed[0],
                tx.countBefore[0], tx.countAfter[0], BareName(tx.targets[0]), tx.existed[1], tx.countBefore[1],
                tx.countAfter[1], BareName(tx.targets[1]), tx.existed[2], tx.countBefore[2], tx.countAfter[2],
                BareName(tx.targets[2]));
  const DWORD bytes = static_cast<DWORD>(wcslen(plan) * sizeof(wchar_t));
  DWORD written = 0;
  const DWORD before = platform.GetLastError();
  const bool recorded = platform.WriteFile(tx.journal.get(), plan, bytes, &written, nullptr) && written == bytes &&
                        platform.FlushFileBuffers(tx.journal.get());
  DebugLog(L"WritePlan: LastError before: <%x>, result: <%d>, LastError after: <%x>, bytes: <%u> of <%u>", before,
           recorded, platform.GetLastError(), written, bytes);
  return recorded;
}

// One number of a plan's line and the space after it, from low to high; false for anything else.
bool ReadNumber(wchar_t*& text, long long low, long long high, long long* number) {
  wchar_t* end = nullptr;
  *number = wcstoll(text, &end, 10);
  if (end == text || *end != L' ' || *number < low || *number > high) return false;
  text = end + 1;
  return true;
}

// "<held before> <held after> <change>"
bool ReadChangeLine(EngineTransaction& tx, wchar_t* line) {
  long long before = 0;
  long long after = 0;
  if (!ReadNumber(line, 0, 1, &before) || !ReadNumber(line, 0, 1, &after)) return false;
  tx.heldBefore = before == 1;
  tx.heldAfter = after == 1;
  for (const EngineChange change : {EngineChange::Replace, EngineChange::Remove, EngineChange::Release}) {
    tx.change = change;
    if (wcscmp(line, kChangeWords[static_cast<int>(change)]) == 0) return true;
  }
  return false;
}

// "<existed> <count before> <count after> <name>" of engine file i.
bool ReadFileLine(EngineTransaction& tx, int i, wchar_t* line) {
  long long existed = 0;
  if (!ReadNumber(line, 0, 1, &existed) || !ReadNumber(line, kForeignCount, kMostUsers, &tx.countBefore[i]) ||
      !ReadNumber(line, kForeignCount, kMostUsers, &tx.countAfter[i])) {
    return false;
  }
  tx.existed[i] = existed == 1;
  return IsEngineFileName(line, i) && JoinPath(tx.targets[i], tx.systemDir, line);
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
  for (int i = -1; valid && i < kEngineFileCount; ++i) {
    wchar_t* end = wcsstr(line, L"\r\n");
    valid = end != nullptr;
    if (!valid) break;
    *end = 0;
    valid = i < 0 ? ReadChangeLine(tx, line) : ReadFileLine(tx, i, line);
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

// Frees a file's name at once: the file goes to a trash name of the helper's own (into trash).
bool MoveToTrash(const EngineTransaction& tx, const wchar_t* path, wchar_t* trash) {
  for (int n = 0; n < kTrashNames; ++n) {
    PathBuffer suffix = {};
    PrintToBuffer(suffix, L".trash%d", n);
    if (!HelperPath(trash, tx, suffix)) return false;
    if (MoveFileImpl(path, trash, kMoveFlags)) return true;
    const DWORD error = Platform().GetLastError();
    if (error != ERROR_ALREADY_EXISTS && error != ERROR_FILE_EXISTS) return false;
  }
  return false;
}

// Has a trash file deleted at the next restart. One that the restart cannot take goes back to
// its name, where the journal still names it for a later run, and the result says so.
bool DeleteTrashAtRestart(const wchar_t* trash, const wchar_t* path) {
  if (MoveFileImpl(trash, nullptr, MOVEFILE_DELAY_UNTIL_REBOOT)) {
    DebugLog(L"DeleteAtRestart: <%ls> is in use; as <%ls> it is deleted at the next restart, which completes the "
             L"replacement",
             path, trash);
    return true;
  }
  DebugLog(L"DeleteAtRestart: <%ls> cannot be deleted at the next restart either (LastError: <%x>); it stays <%ls> "
           L"for a later run",
           trash, Platform().GetLastError(), path);
  MoveFileImpl(trash, path, kMoveFlags);
  return false;
}

// Has the file deleted at the next restart. It goes to a trash name first, so that its own
// name is free at once and no later file of that name is deleted at the restart.
bool DeleteAtRestart(const EngineTransaction& tx, const wchar_t* path) {
  QEL_TRACE();
  PathBuffer trash = {};
  return MoveToTrash(tx, path, trash) && DeleteTrashAtRestart(trash, path);
}

// Deletes a file where it lies, read-only or not. True also when it was not there.
bool DeleteHelperFile(const wchar_t* path) {
  if (DeleteFileImpl(path) || Platform().GetLastError() == ERROR_FILE_NOT_FOUND) return true;
  const DWORD attributes = GetFileAttributesImpl(path);
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY) != 0 &&
         SetFileAttributesImpl(path, attributes & ~FILE_ATTRIBUTE_READONLY) && DeleteFileImpl(path);
}

// Removes a file of the helper's own (a staged file, a backup): deleted, or else deleted at
// the next restart. True also when it was not there.
bool RemoveHelperFile(const EngineTransaction& tx, const wchar_t* path) {
  QEL_TRACE();
  return DeleteHelperFile(path) || DeleteAtRestart(tx, path);
}

// Takes whatever stands at a target away: to a trash name first, so that the name is free at
// once even for a file in use, then deleted, or at the next restart.
bool ClearTarget(const EngineTransaction& tx, const wchar_t* target) {
  QEL_TRACE();
  PathBuffer trash = {};
  return MoveToTrash(tx, target, trash) && (DeleteHelperFile(trash) || DeleteTrashAtRestart(trash, target));
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

// The new control stands in the target's place: the earlier one lies in its backup, or there
// was none.
bool NewControlInPlace(const EngineTransaction& tx) {
  PathBuffer backup = {};
  return BackupPath(backup, tx, kEngineControl) && LookUp(tx.targets[kEngineControl]) == Presence::Present &&
         (!tx.existed[kEngineControl] || LookUp(backup) == Presence::Present);
}

// Target i as before the run, decided from what lies on disk, never from what is missing:
// where its backup lies, the target becomes the backup again (whatever stands there now goes
// first); where none lies, a target that was there before was never touched, nor was any
// target of a removal, and one that a replacement found missing is taken away. False when a
// step fails or the disk cannot be read; the rest stays.
bool PutBackTarget(const EngineTransaction& tx, int i) {
  QEL_TRACE();
  PathBuffer backup = {};
  if (!BackupPath(backup, tx, i)) return false;
  const Presence saved = LookUp(backup);
  const Presence now = LookUp(tx.targets[i]);
  if (saved == Presence::Unknown || now == Presence::Unknown) return false;
  if (saved == Presence::Absent && (tx.existed[i] || tx.change == EngineChange::Remove)) return true;
  if (now == Presence::Present && !ClearTarget(tx, tx.targets[i])) return false;
  return saved == Presence::Absent || MoveFileImpl(backup, tx.targets[i], kMoveFlags);
}

// Writes the counts and the product's reference that the run changes as the plan has them
// after the run, the reference last; stops at the first write that fails.
bool ApplyReferences(const EngineTransaction& tx) {
  QEL_TRACE();
  for (int i = 0; i < kEngineFileCount; ++i) {
    if (tx.countBefore[i] != tx.countAfter[i] && !WriteSharedCount(tx.targets[i], tx.countAfter[i])) return false;
  }
  return tx.heldBefore == tx.heldAfter || SetEngineReference(tx.heldAfter);
}

// Writes them back as they were before the run, going on past a write that fails.
bool RestoreReferences(const EngineTransaction& tx) {
  QEL_TRACE();
  bool restored = tx.heldBefore == tx.heldAfter || SetEngineReference(tx.heldBefore);
  for (int i = 0; i < kEngineFileCount; ++i) {
    if (tx.countBefore[i] == tx.countAfter[i]) continue;
    restored = WriteSharedCount(tx.targets[i], tx.countBefore[i]) && restored;
  }
  return restored;
}

// Brings back the earlier files and registration however far the run went: the new control
// leaves the registry while it is in place (best effort), every file that can be is put back
// and its staged copy discarded, and the earlier control is registered again once its file is
// back. What cannot be put back stays recorded in the journal for the next run.
bool PutBackEngineFiles(EngineTransaction& tx) {
  if (NewControlInPlace(tx)) SpawnRegSvr(tx.targets[kEngineControl], false);
  bool restored = true;
  bool controlBack = false;
  for (int i = 0; i < kEngineFileCount; ++i) {
    const bool back = PutBackTarget(tx, i);
    if (!back) {
      DebugLog(L"RollBackEngineFiles: <%ls> is not put back now (LastError: <%x>); <%ls%ls> keeps it for the next run",
               tx.targets[i], Platform().GetLastError(), tx.stem, tx.phase);
    }
    controlBack = controlBack || (back && i == kEngineControl);
    restored = RemoveStagedFile(tx, i) && back && restored;
  }
  if (tx.existed[kEngineControl] && controlBack) {
    const int exitCode = SpawnRegSvr(tx.targets[kEngineControl], true);
    DebugLog(L"RollBackEngineFiles: the earlier control registered again, exit code: <%d>", exitCode);
  } else if (tx.existed[kEngineControl]) {
    DebugLog(L"RollBackEngineFiles: the earlier control is not back, so it is not registered again");
  }
  return restored;
}

// Everything as before the run: the counts and the reference, and the files and registration
// unless the run leaves the files alone.
bool RollBackEngineFiles(EngineTransaction& tx) {
  QEL_TRACE();
  const bool references = RestoreReferences(tx);
  const bool files = tx.change == EngineChange::Release || PutBackEngineFiles(tx);
  return CloseJournal(tx, references && files);
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
// cannot be done now (a file in use, a disk that cannot be read); what is left stays recorded.
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
      DebugLog(L"RecoverEngineFiles: <%ls%ls> cannot be mended now (LastError: <%x>); nothing else is changed, and a "
               L"later run mends it once the cause is gone",
               left.stem, phase, *error);
      return false;
    }
  }
  return true;
}

// A staged copy's data reaches the disk before the copy takes a target's place: after a power
// cut, no committed name may hold a partly written file. Writing needs the read-only attribute
// off for that moment.
bool FlushStagedFile(const wchar_t* path) {
  QEL_TRACE();
  PlatformCalls& platform = Platform();
  const DWORD attributes = GetFileAttributesImpl(path);
  const bool readOnly = attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY) != 0;
  if (attributes == INVALID_FILE_ATTRIBUTES ||
      (readOnly && !SetFileAttributesImpl(path, attributes & ~FILE_ATTRIBUTE_READONLY))) {
    return false;
  }
  PathBuffer extended = {};
  UniqueFile file;
  const DWORD before = platform.GetLastError();
  if (ExtendedLengthPath(extended, path)) {
    file.reset(platform.CreateFileW(extended, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  }
  const bool flushed = file.valid() && platform.FlushFileBuffers(file.get());
  DebugLog(L"FlushStagedFile: LastError before: <%x>, result: <%d>, LastError after: <%x>, file: <%ls>", before,
           flushed, platform.GetLastError(), path);
  file.reset();
  return (!readOnly || SetFileAttributesImpl(path, attributes)) && flushed;
}

// Which targets are there before the run. A query that fails for another reason than a
// missing file tells nothing, and the plan must be right.
bool FindTargets(EngineTransaction& tx) {
  for (int i = 0; i < kEngineFileCount; ++i) {
    const Presence target = LookUp(tx.targets[i]);
    if (target == Presence::Unknown) return false;
    tx.existed[i] = target == Presence::Present;
  }
  return true;
}

// A product that holds no reference takes one with a copy: one user more for each file, and a
// file that was there without a count is used by someone else already. A count of another
// kind than a number is someone else's, and stays as it is.
long long CountWithOneMore(long long count, bool existed) {
  if (count == kForeignCount) return count;
  const long long users = count >= 1 ? count : existed ? 1 : 0;
  return users < kMostUsers ? users + 1 : kMostUsers;
}

// The product gives its reference back: one user less, and a count that reaches 0 goes. A
// file without a count (0, none, or another kind) has users nobody knows: it stays so.
long long CountWithOneLess(long long count) { return count > 1 ? count - 1 : count == 1 ? kNoCount : count; }

// The counts and the reference after a copy.
bool PlanCopyReferences(EngineTransaction& tx) {
  QEL_TRACE();
  const int held = QueryEngineReference();
  tx.heldBefore = held == 1;
  tx.heldAfter = true;
  for (int i = 0; held == 0 && i < kEngineFileCount; ++i) {
    if (!ReadSharedCount(tx.targets[i], &tx.countBefore[i])) return false;
    tx.countAfter[i] = CountWithOneMore(tx.countBefore[i], tx.existed[i]);
  }
  return held >= 0;
}

// The counts and the reference after a removal, and whether the files go: only when no file
// is left with a user.
bool PlanRemoval(EngineTransaction& tx) {
  QEL_TRACE();
  tx.heldBefore = true;
  tx.heldAfter = false;
  if (!FindTargets(tx)) return false;
  bool unused = true;
  for (int i = 0; i < kEngineFileCount; ++i) {
    if (!ReadSharedCount(tx.targets[i], &tx.countBefore[i])) return false;
    tx.countAfter[i] = CountWithOneLess(tx.countBefore[i]);
    unused = unused && tx.countBefore[i] == 1;
  }
  tx.change = unused ? EngineChange::Remove : EngineChange::Release;
  return true;
}

// Records the plan in a new journal and copies each new file beside its target under its
// staged name, on the disk before the journal names the next step. What was staged goes
// again on failure.
bool StageEngineFiles(EngineTransaction& tx, const wchar_t* engineDir, DWORD* error) {
  QEL_TRACE();
  if (!FindTargets(tx) || !PlanCopyReferences(tx)) {
    *error = Platform().GetLastError();
    return false;
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
             CopyFileImpl(source, copy, false, false) && FlushStagedFile(copy);
  }
  if (staged && MoveJournal(tx, kReplacing)) return true;
  *error = Platform().GetLastError();
  DiscardStagedFiles(tx);
  return false;
}

// Until the lock is held, an interrupted run mended and the files staged, or the user gives
// up; quiet mode gives up at once.
bool StageWithRetry(EngineTransaction& tx, EngineLock& lock, const wchar_t* engineDir) {
  for (;;) {
    DWORD error = 0;
    if (LockEngineFiles(lock, &error) && RecoverEngineFiles(tx, &error) && StageEngineFiles(tx, engineDir, &error)) {
      return true;
    }
    if (!AskRetryEngineCopy(error)) return false;
  }
}

// The target goes aside to its backup name (unless it is there already), then the staged file
// takes its place.
bool SwapEngineFile(const EngineTransaction& tx, int i, DWORD* error) {
  QEL_TRACE();
  PathBuffer staged = {};
  PathBuffer backup = {};
  const bool swapped =
      StagedPath(staged, tx, i) && BackupPath(backup, tx, i) &&
      (!tx.existed[i] || LookUp(backup) == Presence::Present || MoveFileImpl(tx.targets[i], backup, kMoveFlags)) &&
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

// The plan of a removal in a new journal, on the disk before the journal names the step that
// changes anything.
bool RecordRemoval(EngineTransaction& tx) {
  QEL_TRACE();
  if (!OpenJournal(tx, kStaging, CREATE_NEW)) return false;
  if (WritePlan(tx) && MoveJournal(tx, kReplacing)) return true;
  DiscardStagedFiles(tx);
  return false;
}

// The control leaves the registry, then each file goes to its backup name, which frees its
// name even while it is in use; the commit deletes the backups.
bool TakeEngineAside(const EngineTransaction& tx) {
  QEL_TRACE();
  if (tx.change != EngineChange::Remove) return true;
  if (tx.existed[kEngineControl]) {
    const int exitCode = SpawnRegSvr(tx.targets[kEngineControl], false);
    DebugLog(L"TakeEngineAside: the control unregistered, exit code: <%d>", exitCode);
    if (exitCode != 0) return false;
  }
  for (int i = 0; i < kEngineFileCount; ++i) {
    PathBuffer backup = {};
    if (tx.existed[i] && !(BackupPath(backup, tx, i) && MoveFileImpl(tx.targets[i], backup, kMoveFlags))) return false;
  }
  return true;
}

}  // namespace

bool PlanEngineTransaction(EngineTransaction& tx, const wchar_t* systemDir, const PathBuffer* names) {
  QEL_TRACE();
  tx.systemDir = systemDir;
  PathBuffer longest = {};
  bool planned = JoinPath(tx.stem, systemDir, kStem) && HelperPath(longest, tx, kCommitting);
  for (int i = 0; planned && names != nullptr && i < kEngineFileCount; ++i) {
    planned = JoinPath(tx.targets[i], systemDir, names[i]);
  }
  if (!planned) DebugLog(L"PlanEngineTransaction: the paths in <%ls> do not fit", systemDir);
  return planned;
}

bool LockEngineFiles(EngineLock& lock, DWORD* error) {
  QEL_TRACE();
  if (lock.held.valid()) return true;
  PlatformCalls& platform = Platform();
  const DWORD before = platform.GetLastError();
  if (!lock.mutex.valid()) lock.mutex.reset(platform.CreateMutexW(nullptr, FALSE, kEngineLockName));
  DWORD waited = lock.mutex.valid() ? platform.WaitForSingleObject(lock.mutex.get(), 0) : WAIT_FAILED;
  if (waited == WAIT_TIMEOUT) {
    DebugLog(L"LockEngineFiles: the run of process <%u> holds <%ls>; this one waits up to <%u> s", LockOwner(),
             kEngineLockName, kLockWaitMilliseconds / 1000);
    waited = platform.WaitForSingleObject(lock.mutex.get(), kLockWaitMilliseconds);
  }
  const DWORD after = platform.GetLastError();
  DebugLog(L"LockEngineFiles: LastError before: <%x>, result: <%x>, LastError after: <%x>, mutex: <%ls>", before,
           waited, after, kEngineLockName);
  if (waited == WAIT_OBJECT_0 || waited == WAIT_ABANDONED) {
    lock.held.reset(lock.mutex.get());
    if (waited == WAIT_ABANDONED) {
      DebugText(L"LockEngineFiles: the run that held it ended without releasing it; what it left is mended first");
    }
    RecordLockOwner(lock);
    return true;
  }
  if (waited == WAIT_TIMEOUT) {
    DebugLog(L"LockEngineFiles: the run of process <%u> still holds it after <%u> s; the engine is not replaced",
             LockOwner(), kLockWaitMilliseconds / 1000);
  }
  *error = waited == WAIT_TIMEOUT ? static_cast<DWORD>(ERROR_TIMEOUT) : after;
  return false;
}

int ReplaceEngineFiles(EngineTransaction& tx, const wchar_t* engineDir, int* registration) {
  QEL_TRACE();
  EngineLock lock;
  if (!StageWithRetry(tx, lock, engineDir)) return 1;
  // An earlier control goes out of the registry before its file is replaced; whether the
  // tool managed it does not matter, the new control is registered over it.
  if (tx.existed[kEngineControl]) SpawnRegSvr(tx.targets[kEngineControl], false);
  if (SwapWithRetry(tx)) {
    const int exitCode = SpawnRegSvr(tx.targets[kEngineControl], true);
    if (exitCode == 0 && ApplyReferences(tx) && CommitEngineFiles(tx)) return 0;
    *registration = exitCode;
  }
  RollBackEngineFiles(tx);
  return 1;
}

EngineRemoval RemoveEngineFiles(EngineTransaction& tx) {
  QEL_TRACE();
  // Nothing can be changed without the files' names: only whether that matters is told.
  if (tx.targets[kEngineControl][0] == 0) {
    DebugText(L"RemoveEngineFiles: the engine's files are not known");
    return QueryEngineReference() == 0 ? EngineRemoval::NotHeld : EngineRemoval::Failed;
  }
  EngineLock lock;
  DWORD error = 0;
  if (!LockEngineFiles(lock, &error) || !RecoverEngineFiles(tx, &error)) return EngineRemoval::Failed;
  const int held = QueryEngineReference();
  if (held == 0) return EngineRemoval::NotHeld;
  if (held < 0 || !PlanRemoval(tx) || !RecordRemoval(tx)) return EngineRemoval::Failed;
  if (TakeEngineAside(tx) && ApplyReferences(tx) && CommitEngineFiles(tx)) {
    return tx.change == EngineChange::Remove ? EngineRemoval::Removed : EngineRemoval::Released;
  }
  RollBackEngineFiles(tx);
  return EngineRemoval::Failed;
}
