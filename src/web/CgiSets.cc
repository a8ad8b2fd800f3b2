// The command sets and the command names.
#include <iterator>

#include "Cgi.h"

namespace quil {

Se CgiPostSe;
Se CgiSysopSe;
Se CgiNoLoginSe;
Se CgiNoOnceSe;
Se CgiNoCertSe;
Se CgiStartupSe;

namespace {

// A member or a range of members (last 0: a single member).
struct SeRange {
  int first;
  int last;
};

// clang-format off
constexpr SeRange kPostRanges[] = {
    {4, 0}, {10, 0}, {11, 0}, {12, 0}, {20, 0}, {26, 0}, {47, 0}, {57, 0}, {58, 0}, {60, 0},
    {61, 0}, {66, 0}, {69, 0}, {71, 0}, {73, 0}, {75, 0}, {77, 0}, {102, 0}, {106, 0}, {108, 0},
    {110, 0}, {112, 0}, {114, 0}, {116, 0}, {117, 0}, {119, 0}, {121, 0}, {123, 0}, {125, 0},
    {127, 0}, {130, 0}, {134, 0}, {137, 0}, {139, 0}, {182, 0}, {184, 0}, {187, 0}, {189, 0},
    {192, 0}, {194, 0}, {198, 0}, {209, 0}, {213, 0}, {215, 0}, {217, 0}, {218, 0}, {222, 0},
    {227, 0}, {256, 0}};
constexpr SeRange kSysopRanges[] = {
    {33, 0}, {46, 0}, {47, 0}, {59, 63}, {68, 85}, {90, 93}, {96, 0}, {99, 102}, {105, 114},
    {129, 134}, {180, 190}, {197, 0}, {198, 0}, {200, 219}, {226, 228}, {231, 0}, {232, 0},
    {234, 0}, {245, 247}};
constexpr SeRange kNoLoginRanges[] = {
    {1, 11}, {13, 15}, {17, 0}, {18, 0}, {20, 0}, {23, 0}, {27, 0}, {30, 0}, {31, 0}, {37, 0},
    {43, 0}, {56, 0}, {67, 0}, {94, 0}, {95, 0}, {98, 0}, {122, 0}, {126, 128}, {135, 139},
    {196, 0}, {199, 0}, {223, 225}, {229, 0}, {230, 0}, {233, 0}, {241, 244}, {249, 0}};
constexpr SeRange kNoOnceRanges[] = {
    {13, 0}, {15, 0}, {17, 0}, {18, 0}, {20, 0}, {23, 0}, {27, 0}, {30, 0}, {31, 0}, {43, 0},
    {67, 0}, {94, 0}, {95, 0}, {98, 0}, {122, 0}, {135, 0}, {199, 0}, {224, 0}, {225, 0}};
constexpr SeRange kNoCertRanges[] = {
    {15, 0}, {17, 0}, {18, 0}, {20, 0}, {23, 0}, {27, 0}, {31, 0}, {43, 0}, {94, 0}, {95, 0}};
constexpr SeRange kStartupRanges[] = {{78, 85}};
// clang-format on

template <size_t N>
Se BuildSet(const SeRange (&ranges)[N]) {
  Se set = SeCreate(kCgiMaxCommand);
  for (const SeRange& r : ranges) {
    int last = r.last == 0 ? r.first : r.last;
    for (int c = r.first; c <= last; ++c) SeAddMember(set, c);
  }
  return set;
}

struct CommandName {
  int command;
  const char* name;
};

// The names of the command-code list, in command order.
constexpr CommandName kCommandNames[] = {
    {1, "Show"},
    {2, "Show"},
    {3, "ShowAddFolder"},
    {4, "ProcessAddFolder"},
    {5, "Show"},
    {6, "Show"},
    {7, "ShowPreviousMsgs"},
    {8, "Show"},
    {9, "ShowAddDiscussion"},
    {10, "ProcessAddDiscussion"},
    {11, "ProcessAddMessage"},
    {12, "ProcessEditMessage"},
    {13, "ShowInContext"},
    {14, "Show"},
    {15, "ShowLogin"},
    {17, "LoginFailure"},
    {18, "ShowRegistration"},
    {20, "ProcessRegistration"},
    {23, "ProcessLogin"},
    {25, "ShowUserPreferences"},
    {26, "ProcessUserPreferences"},
    {27, "UserPictureByName"},
    {28, "BadUrl"},
    {29, "Subscribe"},
    {30, "DefaultUserPicture"},
    {31, "UserPictureById"},
    {33, "Quit"},
    {36, "CancelSubscription"},
    {37, "Show"},
    {38, "CheckNewMessages"},
    {39, "ShowEditFolder"},
    {40, "ProcessDeleteFolderCheck"},
    {41, "ShowEditDiscussion"},
    {42, "ProcessDeleteDiscussionCheck"},
    {43, "GuestPictureByMessage"},
    {44, "LoginAndPost"},
    {45, "PostFailed"},
    {46, "ShowSysopGuestAccess"},
    {47, "ProcessSysopGuestAccess"},
    {51, "ShowDeleteDiscussionCheck"},
    {52, "ShowDeleteFolderCheck"},
    {53, "ShowEditMessage"},
    {54, "ShowDeleteMessageCheck"},
    {55, "ProcessDeleteMessage"},
    {56, "Show"},
    {57, "ProcessEditDiscussion"},
    {58, "ProcessEditFolder"},
    {59, "SysopControls"},
    {60, "ProcessSysopRegisteredUsers"},
    {61, "ProcessSysopGeneralSettings"},
    {62, "ShowSysopRegisteredUsers"},
    {63, "ShowSysopGeneralSettings"},
    {64, "ProcessExport command"},
    {65, "ShowImport"},
    {66, "ProcessImport"},
    {67, "ShowUserInfoByMessage"},
    {68, "ShowSysopLoginNews"},
    {69, "ProcessSysopLoginNews"},
    {70, "ShowSysopSetUserPassword"},
    {71, "ProcessSysopSetUserPassword"},
    {72, "ShowSysopDeleteUser"},
    {73, "ProcessSysopDeleteUser"},
    {90, "SetLogSwitch"},
    {91, "SetLogAndHalt"},
    {92, "SetRequestLogging"},
    {93, "SetPostLogging"},
    {94, "ShowSysopLogin"},
    {95, "ProcessSysopLogin"},
    {96, "SetTemplatesUsed"},
    {98, "ServeWholeFile"},
    {99, "ResetCache"},
    {101, "ShowSiteButtonsSizes"},
    {102, "ProcessSiteButtonsSizes"},
    {105, "ShowTopLevelSettings"},
    {106, "ProcessTopLevelSettings"},
    {107, "ShowFolderAppearance"},
    {108, "ProcessFolderAppearance"},
    {109, "ShowDiscussionAppearance"},
    {110, "ProcessDiscussionAppearance"},
    {111, "ShowToolbarSettings"},
    {112, "ProcessToolbarSettings"},
    {113, "ShowSitePictureSettings"},
    {114, "ProcessSitePictureSettings"},
    {115, "ShowAccessList"},
    {116, "ProcessAccessList"},
    {117, "ProcessAccessListImport"},
    {118, "ShowUserGroups"},
    {119, "ProcessUserGroups"},
    {120, "ShowGroup"},
    {121, "ProcessGroup"},
    {122, "ShowUserInfoByName"},
    {123, "ProcessGroupImport"},
    {124, "CheckModerated"},
    {125, "ModeratedApprove"},
    {126, "ShowSearch"},
    {127, "ProcessSearch"},
    {128, "ShowAllMessages"},
    {129, "ShowSysopPickUserForPreferences"},
    {130, "ProcessSysopPickUserForPreferences"},
    {131, "ShowHitStats"},
    {132, "ClearHitStats"},
    {133, "ShowMemorySettings"},
    {134, "ProcessMemorySettings"},
    {135, "ShowUserInfoById"},
    {136, "ShowAddLink"},
    {137, "ProcessAddLink"},
    {138, "ShowEditLink"},
    {139, "ProcessEditLink"},
    {140, "ProcessDeleteLink"},
    {186, "ShowBackup"},
    {187, "ProcessBackup"},
    {188, "ShowRedundancy"},
    {189, "ProcessRedundancy"},
    {190, "WaitsForSynch"},
    {191, "ShowAddChat"},
    {192, "ProcessAddChat"},
    {193, "ShowEditChat"},
    {194, "ProcessEditChat"},
    {195, "ProcessDeleteChat"},
    {196, "ChatEntry"},
    {197, "ShowChatServices"},
    {198, "ProcessChatServices"},
    {200, "Test"},
    {201, "SetTimestampLogging"},
    {202, "RestartNT"},
    {203, "ShowsSearchIndex"},
    {204, "ShowsSearchIndexStatus"},
    {205, "SetTcpIpSessionLogging"},
    {206, "SetTcpIpDataLogging"},
    {207, "ShowChatStatus"},
    {208, "ShowsChatBasicServices"},
    {209, "ProcessChatBasicServices"},
    {210, "SetSynchLogging"},
    {211, "RebuildUserPostInfo"},
    {212, "ShowUserDirExport"},
    {213, "ProcessUserDirExport"},
    {214, "ShowSysopLookupUser"},
    {215, "ProcessSysopLookupUser"},
    {216, "ShowSysopUserDirFieldIndex"},
    {217, "ProcessSysopUserDirFieldIndex"},
    {218, "ConfirmSysopUserDirFieldIndex"},
    {219, "ShowBackupStatus"},
    {220, "ExportChoice"},
    {221, "ExportShowSelection"},
    {222, "ExportProcessSelection"},
    {223, "EnterChatRoomSocks"},
    {224, "ShowPersonalInfoByUniqueId"},
    {225, "GetInfo"},
    {226, "ShowHttpSettings"},
    {227, "ProcessHttpSettings"},
    {228, "SysopOtherSettings"},
    {229, "ShowReply"},
    {230, "ShowSummary"},
    {231, "ShowSysopNntp"},
    {232, "ProcessSysopNntp"},
    {233, "Download"},
};

}  // namespace

void CgiSeInit() {
  CgiPostSe = BuildSet(kPostRanges);
  CgiSysopSe = BuildSet(kSysopRanges);
  CgiNoLoginSe = BuildSet(kNoLoginRanges);
  CgiNoOnceSe = BuildSet(kNoOnceRanges);
  CgiNoCertSe = BuildSet(kNoCertRanges);
  CgiStartupSe = BuildSet(kStartupRanges);
}

void CgiSeTerm() {
  for (Se* s : {&CgiPostSe, &CgiSysopSe, &CgiNoLoginSe, &CgiNoOnceSe, &CgiNoCertSe, &CgiStartupSe})
    SeDestroy(*s);
}

bool CgiSeHas(const Se& set, int command) {
  if (set.IsNil() || command < 1 || command > kCgiMaxCommand) return false;
  return SeMember(set, command);
}

const char* CgiCommandName(int command) {
  size_t lo = 0, hi = std::size(kCommandNames);
  while (lo < hi) {
    size_t mid = (lo + hi) / 2;
    if (kCommandNames[mid].command < command)
      lo = mid + 1;
    else
      hi = mid;
  }
  return lo < std::size(kCommandNames) && kCommandNames[lo].command == command
             ? kCommandNames[lo].name
             : nullptr;
}

}  // namespace quil
