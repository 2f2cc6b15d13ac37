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
// "committing" is the commit point. A run stopped half-way (killed, power cut) leaves it
// behind, and the next run first rolls back what it recorded, or completes its commit, which
// is never undone. While a run holds its journal open, no other run can take it over.
//
// The stem is "~qel-" and eight hex digits of a hash of the control's name (ASCII case
// ignored), in the system directory; beside the journal lie the staged files "<stem>.0.new"
// to "<stem>.2.new", the backups "<stem>.0.old" to "<stem>.2.old" (control, companion file,
// library), and files in use that wait for the next restart to be deleted, "<stem>.trash<n>".
// No such name holds "wb", which every engine file's name holds, so no search for an engine
// file can take one of them for an engine file.

#include <windows.h>

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

// One replacement of the engine in the system directory.
struct EngineTransaction {
  const wchar_t* systemDir = nullptr;
  PathBuffer stem = {};                       // systemDir + "\~qel-<hash>"
  PathBuffer targets[kEngineFileCount] = {};  // where each engine file goes
  bool existed[kEngineFileCount] = {};        // that target was there before the run
  UniqueFile journal;                         // held open while the run works on it
  const wchar_t* phase = nullptr;             // the journal's name is stem + phase
};

// Where the engine files named names (bare names, the control first) go in systemDir, and
// the helper's own names beside them. False when a path does not fit.
bool PlanEngineTransaction(EngineTransaction& tx, const wchar_t* systemDir, const PathBuffer* names);

// Replaces the engine files by those of the same names in engineDir and registers the
// control there, after mending what an interrupted run left. The system directory must be
// current (the registration tool runs there). Copies and renames that fail can be retried
// (never in quiet mode). Returns 0 installed, or 1 with the earlier engine and its
// registration as they were; *registration receives the registration tool's exit code when
// the new control's registration failed, and stays 0 otherwise.
int ReplaceEngineFiles(EngineTransaction& tx, const wchar_t* engineDir, int* registration);
