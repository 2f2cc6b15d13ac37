#pragma once
// The engine's three files in the system directory and the control's registration change
// together or not at all. Each new file is staged beside its target under a name of the
// helper's own; the earlier control is unregistered; each target goes aside to a backup
// name and the staged file takes its place; the new control is registered. Its success
// commits (the backups are removed); any failure, or the user giving up, rolls back to the
// earlier files and registration.
//
// A journal beside the files holds the plan (which targets there are and which of them were
// there before) and, by its name, how far a run got: "<stem>.staging" while files are
// staged, "<stem>.replacing" from the unregistration until the commit, "<stem>.committing"
// while the backups are removed. Its renames are the steps of the run, and the rename to
// "committing" is the commit point. Each staged file and the plan are on the disk before the
// first target is touched. A run stopped half-way (killed, power cut) leaves the journal
// behind, and the next run first rolls back what it recorded, or completes its commit, which
// is never undone. A rollback decides each file from what lies on disk: where a backup lies,
// the target becomes the backup again; where none lies, the target was never touched. What
// it cannot put back now stays recorded, and a later run puts it back once the cause is gone.
//
// The stem is "~qel-engine" in the system directory, one for every engine whatever its files
// are called, so that a run finds what any earlier run left. Beside the journal lie the
// staged files "<stem>.0.new" to "<stem>.2.new", the backups "<stem>.0.old" to "<stem>.2.old"
// (control, companion file, library), and files in use that wait for the next restart to be
// deleted, "<stem>.trash<n>". No such name holds "wb", which every engine file's name holds,
// so no search for an engine file can take one of them for an engine file.
//
// The engine files are shared: each has a count of the products that use it under SharedDLLs,
// and a product that uses the engine holds a reference to it in its product key. A run changes
// both with the files: the journal's plan holds the counts and the reference before and after
// the run, which are written just before the commit and written back by a rollback. A removal
// takes the same steps: the control is unregistered, each file goes to its backup name, and
// the commit deletes the backups.
//
// One run at a time, across processes: a run holds the mutex kEngineLockName from before it
// mends an interrupted run until its commit or rollback ends. Another run waits for it, up to
// a time limit; a mutex whose holder ended without releasing it is taken over.

#include <windows.h>

#include "base/registry.h"
#include "base/text.h"
#include "base/unique.h"

// An engine file is the first file of the engine directory whose name holds every part.
struct EngineFile {
  const wchar_t* what;
  const wchar_t* parts[3];
};

constexpr int kEngineFileCount = 3;
constexpr int kEngineControl = 0;
// The control, its companion file and the library, in this order everywhere.
extern const EngineFile kEngineFiles[kEngineFileCount];

// What a run does with the engine files: replaces them ("copy"), takes them away when the last
// product that used them goes, or leaves them for the products that still use them and only
// gives the product's reference back.
enum class EngineChange { Replace, Remove, Release };

// One change of the engine in the system directory.
struct EngineTransaction {
  const wchar_t* systemDir = nullptr;
  PathBuffer stem = {};                       // systemDir + "\~qel-engine"
  PathBuffer targets[kEngineFileCount] = {};  // where each engine file goes
  bool existed[kEngineFileCount] = {};        // that target was there before the run
  UniqueFile journal;                         // held open while the run works on it
  const wchar_t* phase = nullptr;             // the journal's name is stem + phase
  EngineChange change = EngineChange::Replace;
  // Each target's count under SharedDLLs (kNoCount, kForeignCount or a number) before and
  // after the run, and whether the product holds its reference before and after.
  long long countBefore[kEngineFileCount] = {kNoCount, kNoCount, kNoCount};
  long long countAfter[kEngineFileCount] = {kNoCount, kNoCount, kNoCount};
  bool heldBefore = false;
  bool heldAfter = false;
};

// The mutex that one run at a time holds, in the global namespace.
extern const wchar_t kEngineLockName[];

// The lock as a run holds it: released, then closed, when this goes.
struct EngineLock {
  UniqueHandle mutex;
  UniqueHeldMutex held;  // while the lock is this thread's
  UniqueHandle owner;    // the record of the holder's process id, for a run that waits
};

// Takes the lock, waiting up to a time limit for another run that holds it (the trace names
// that run's process). True once held, also when its holder ended without releasing it;
// false with *error (ERROR_TIMEOUT when the time ran out) otherwise.
bool LockEngineFiles(EngineLock& lock, DWORD* error);

// Where the engine files named names (bare names, the control first) go in systemDir, and
// the helper's own names beside them; null names plan the helper's names alone. False when a
// path does not fit.
bool PlanEngineTransaction(EngineTransaction& tx, const wchar_t* systemDir, const PathBuffer* names);

// Replaces the engine files by those of the same names in engineDir and registers the
// control there, holding the lock, after mending what an interrupted run left. The system
// directory must be current (the registration tool runs there). Copies and renames that
// fail, and a wait for the lock that ends without it, can be retried (never in quiet mode). Returns 0 installed, or 1 with the earlier engine and its
// registration as they were; *registration receives the registration tool's exit code when
// the new control's registration failed, and stays 0 otherwise. A product that holds no
// reference yet takes one: each file's count goes up by one, from 1 for a file that was there
// without a count (someone else's), and the reference is recorded.
int ReplaceEngineFiles(EngineTransaction& tx, const wchar_t* engineDir, int* registration);

enum class EngineRemoval { NotHeld, Released, Removed, Failed };

// Gives the product's reference to the engine back, holding the lock, after mending what an
// interrupted run left: each count goes down by one, and when that leaves no file with a user,
// the control is unregistered, the files are deleted (a file in use at the next restart) and
// their counts removed; then the reference is removed. NotHeld when the product holds none
// (nothing changes); Failed, with everything as it was, when the lock cannot be had, a step
// fails, or the product holds a reference but the engine's files are not known (no names
// planned). Never asks.
EngineRemoval RemoveEngineFiles(EngineTransaction& tx);
