// Af: application files, whole database files as the application sees
// them.
//
// An application file is a database file with its master part open and the
// application's root opened on it.  The application (a higher layer)
// installs the routines that open and close its root (AfSetRootFns) and
// the one that appends a save record to its recovery log (AfSetSaveLogFn);
// other packages register callbacks run on every save (AfSaveAnyInsert)
// and every close (AfCloseAnyInsert), the most recently registered first.
// A callback is registered at most once.
//
// Threads: all calls run on the thread that holds the run lock.
#pragma once

#include <cstdint>
#include <string>

#include "Ch.h"

namespace quil {

using AfCallback = void (*)(ChPart part);
// Opens the application's root on a part; returns 0 or a status.
using AfRootOpenFn = uint16_t (*)(ChPart part);
using AfRootCloseFn = void (*)(ChPart part);
using AfSaveLogFn = void (*)(ChPart part, uint32_t revision);

void AfSetRootFns(AfRootOpenFn open, AfRootCloseFn close);
void AfSetSaveLogFn(AfSaveLogFn fn);

// Creates a database file with its master part and opens the root.
// Statuses: 6 (the file exists), 1, file-layer statuses, the root's.
[[nodiscard]] uint16_t AfCreate(const std::string& path, ChPart* out);
// Opens a database file read/write with its master part and root.  A file
// without a master part gives 15 (and is closed); other statuses as
// ChFiOpen and the root's.
[[nodiscard]] uint16_t AfOpen(const std::string& path, ChPart* out);
// Saves the part: nothing (0) when it is unchanged; otherwise closes the
// root, runs the save callbacks, saves (ChPartSave), reopens the root and
// logs the save.  Returns 0 or the save's status.  REQUIRES: part is the
// master part of its file ("AfSave-- not a master part").
[[nodiscard]] uint16_t AfSave(ChPart part, int mode, uint32_t* revision);
// Saves the part into a new file at path (6 when it exists): a temporary
// file in the same directory receives every page, is saved, renamed to path,
// and the part lives in it from now on; the old file is closed unchanged.
[[nodiscard]] uint16_t AfSaveAs(ChPart part, const std::string& path);
// Runs the close callbacks, closes the root and closes the file (unsaved
// changes are dropped).
[[nodiscard]] uint16_t AfClose(ChPart part);
// Closes the file and deletes it.
[[nodiscard]] uint16_t AfDestroy(ChPart part);

void AfCloseAnyInsert(AfCallback fn);
void AfCloseAnyRemove(AfCallback fn);
void AfSaveAnyInsert(AfCallback fn);
void AfSaveAnyRemove(AfCallback fn);

extern bool AfDebugFlag;
// Package entry: 1 initialise (empty callback lists), 2 terminate, 3 debug.
[[nodiscard]] uint16_t AfInitRtns(int selector, int32_t value);

}  // namespace quil
