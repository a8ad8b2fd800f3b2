// quil-dbtool: operator tool for database files.
//
//   quil-dbtool info FILE        header fields, type table, page counts and
//                                the rollback journal (FILE + "-journal")
//   quil-dbtool check FILE       verifies the whole file: every page, then
//                                every stored handle and the pages reachable
//                                from the roots against the space map;
//                                prints each problem
//   quil-dbtool check -pages FILE  the pages only (for files whose chunks
//                                hold values that only look like handles,
//                                as test files do)
//   quil-dbtool backup SRC DST   byte copy of SRC into the new file DST, in
//                                pieces of 131,072 bytes
//   quil-dbtool tree FILE        the folder tree: unique path, type, name
//                                path, title, children or messages
//   quil-dbtool settings FILE    the sysop settings with their values
//   quil-dbtool repack SRC DST   dense copy of SRC into DST: the chunks
//                                packed into as few pages as they fill, the
//                                handles inside them rewritten
//
// The source file is opened read-only and never changed.  When its last
// save was interrupted, every command reads it as the next open of the
// server will find it: through the journal, which restores the last
// complete save (the journal is not written back; the server does that).  Exit status: 0
// when the file is sound (info: readable; backup, repack: copied), 1 when it
// is damaged or cannot be read or written, 2 for a usage error.
#include <cstdio>
#include <string>

#include "Ch.h"
#include "Ec.h"
#include "Fi.h"
#include "Forum.h"
#include "Ma.h"
#include "Store.h"
#include "Ut.h"

using namespace quil;

namespace {

int Usage() {
  fprintf(stderr,
          "usage: quil-dbtool info FILE\n"
          "       quil-dbtool check [-pages] FILE\n"
          "       quil-dbtool tree FILE\n"
          "       quil-dbtool settings FILE\n"
          "       quil-dbtool backup SRC DST\n"
          "       quil-dbtool repack SRC DST\n");
  return 2;
}

int Info(const std::string& path) {
  ChFileInfo info;
  uint16_t status = ChFileInfoGet(path, &info);
  if (status != 0) {
    printf("%s: %s (status %u)\n", path.c_str(), EcToSt(status).CStr(), status);
    return 1;
  }
  printf("file:                 %s\n", path.c_str());
  printf("length:               %lld bytes\n", static_cast<long long>(info.fileLength));
  printf("magic:                0x%08X\n", info.magic);
  printf("revision:             %u (copy at 4092: %u)\n", info.revision,
         info.revisionCopy);
  printf("format version:       %u\n", info.version);
  printf("page size:            %u\n", info.pageSize);
  printf("maximum pages:        %u\n", info.maxPages);
  printf("torn-header tolerance: %u\n", info.tornTolerance);
  printf("flags:                %u\n", info.flags);
  printf("save in progress:     %u\n", info.saving);
  printf("type table:           offset %u, %u pages, %u entries, stamp %u\n",
         info.utOffset, info.utPages, info.utEntries, info.utStamp);
  printf("%s", info.typeTable.c_str());
  printf("space map:            %u pages allocated, %u of them data pages\n",
         info.mapAllocated, info.dataAllocated);
  printf("data pages in file:   %u\n", info.filePages);
  if (!info.journalExists) {
    printf("journal:              %s: none\n", info.journalPath.c_str());
  } else if (!info.journalComplete) {
    printf("journal:              %s: incomplete (%s), of no use\n", info.journalPath.c_str(),
           info.journalWhy.c_str());
  } else {
    printf("journal:              %s: %u pages of revision %u, written by the save of "
           "revision %u; %s\n",
           info.journalPath.c_str(), info.journalRecords, info.journalRestores,
           info.journalSaved,
           info.journalHot ? "that save was interrupted: shown as restored"
                           : "stale (that save completed or never began)");
  }
  if (info.hasPartInfo) {
    printf("master part:          revision %u, saved %u %06u, root 0x%08X, "
           "page count %u\n",
           info.partRevision, info.partDate, info.partTime, info.partRoot,
           info.partPageCount);
  } else {
    printf("master part:          none\n");
  }
  return 0;
}

// The handles of a file that passed the page checks: opened read-only in
// the store, every stored handle (ChCrossChk) and what the roots reach
// against the space map (ChCheckReachable).
bool CheckHandles(const std::string& path, std::string* report) {
  // A cache large enough that following handles seldom reads a page twice.
  uint16_t status = ChInit(kPkgVersion, 16384);
  if (status != 0) {
    *report += "cannot start the store: " + EcToSt(status).Str() + "\n";
    return false;
  }
  ChFi file = nullptr;
  ChPart part = 0;
  status = ChFiOpen(path, kChFiReadOnly, &file);
  if (status == 0) status = ChFiPartOpen(file, &part);
  bool ok = status == 0;
  if (!ok) *report += "cannot open the master part: " + EcToSt(status).Str() + "\n";
  if (ok) {
    ok = ChCrossChk(part, report) == 0;
    uint64_t reached = 0;
    ok = ChCheckReachable(part, report, &reached) == 0 && ok;
  }
  if (file) {
    status = ChFiClose(file);
    if (status != 0) *report += "closing: " + EcToSt(status).Str() + "\n";
  }
  ChTerm();
  return ok;
}

int Check(const std::string& path, bool handles) {
  std::string report;
  bool ok = ChCheckFile(path, &report);
  if (ok && handles) ok = CheckHandles(path, &report);
  if (ok) {
    printf("%s: ok\n%s", path.c_str(), report.c_str());
    return 0;
  }
  printf("%s: damaged\n%s", path.c_str(), report.c_str());
  return 1;
}

int Failed(const std::string& what, uint16_t status) {
  printf("%s: %s (status %u)\n", what.c_str(), EcToSt(status).CStr(), status);
  return 1;
}

int Backup(const std::string& from, const std::string& to) {
  uint16_t status = ChBackupFile(from, to);
  if (status != 0) return Failed(from + " -> " + to, status);
  printf("%s -> %s: copied\n", from.c_str(), to.c_str());
  return 0;
}

void PrintLogLine(const std::string& line) { printf("%s\n", line.c_str()); }

void RepackEnded(intptr_t result, const std::string&, uint16_t status) {
  *reinterpret_cast<uint16_t*>(result) = status;
}

int Repack(const std::string& from, const std::string& to) {
  std::string what = from + " -> " + to;
  if (FiExists(to)) return Failed(what, 6);
  uint16_t status = ChInit(kPkgVersion, 256);
  if (status != 0) return Failed(what, status);
  ChSetRecordLogFn(PrintLogLine);
  ChFi file = nullptr;
  ChPart part = 0;
  status = ChFiOpen(from, kChFiReadOnly, &file);
  if (status == 0) status = ChFiPartOpen(file, &part);
  uint16_t ended = 0;
  if (status == 0) status = ChStartRepack(part, to, RepackEnded, intptr_t(&ended));
  if (status == 0) {
    while (!ChRepackDoPiece(part)) {
    }
    status = ended;
  }
  if (file) (void)ChFiClose(file);
  ChTerm();
  if (status != 0) return Failed(what, status);
  printf("%s: repacked\n", what.c_str());
  return 0;
}

// Opens the file's forum root read-only, runs show on it, closes it.
int WithRoot(const std::string& path, void (*show)(ForumRoot root)) {
  uint16_t status = ChInit(kPkgVersion, 256);
  if (status != 0) return Failed(path, status);
  status = ForumInitRtns(kPkgInit, kPkgVersion);
  ForumRoot root = status == 0 ? ForumDbOpenReadOnly(path, &status) : nullptr;
  if (root) {
    show(root);
    ForumDbCloseReadOnly(root);
  }
  uint16_t term = ForumInitRtns(kPkgTerm, 0);
  ChTerm();
  if (!root) return Failed(path, status);
  return term == 0 ? 0 : Failed(path, term);
}

void ShowTree(ForumRoot root) {
  std::string out;
  ForumTreePrint(ForumTopFolder(root), &out);
  fwrite(out.data(), 1, out.size(), stdout);
}

// One line per setting: a line feed in a value is written "\n" and a
// backslash "\\".
void ShowSettings(ForumRoot root) {
  for (const ForumSysopRow& row : ForumSysopListAll(root)) {
    std::string value;
    for (char c : row.value) {
      if (c == '\n') {
        value += "\\n";
      } else {
        if (c == '\\') value += '\\';
        value += c;
      }
    }
    printf("%s=%s\n", row.name.c_str(), value.c_str());
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) return Usage();
  std::string command = argv[1];
  (void)UtInitRtns(1, kPkgVersion);
  StoreRegisterTypes();
  ChHandleLayoutSet(kChFilesForServer);
  if (argc == 3 && command == "info") return Info(argv[2]);
  if (argc == 3 && command == "check") return Check(argv[2], true);
  if (argc == 4 && command == "check" && std::string(argv[2]) == "-pages")
    return Check(argv[3], false);
  if (argc == 3 && command == "tree") return WithRoot(argv[2], ShowTree);
  if (argc == 3 && command == "settings") return WithRoot(argv[2], ShowSettings);
  if (argc == 4 && command == "backup") return Backup(argv[2], argv[3]);
  if (argc == 4 && command == "repack") return Repack(argv[2], argv[3]);
  return Usage();
}
