// The action table: one entry {command, handler, flags} per command that
// the dispatcher knows.  An entry without a handler (and every number not
// listed) is answered "Unable to process"; the comment names the handler
// the entry is for.  Commands 17 (LoginFailure) and 91 (SetLogAndHalt)
// have names but no entry.
#include "CgiInt.h"
#include "CgiSysopInt.h"
#include "CgiEditInt.h"

namespace quil {

// clang-format off
const CgiAction kCgiActionTable[] = {
    {1, CgiActShowLocation, 0},  // the location display
    {2, CgiActShowLocation, 0},  // the location display
    {3, CgiActAddFolderForm, 0},  // CreateAddCatForm
    {4, CgiActAddFolder, kCgiActNoCache},  // AddNewCatItem
    {5, CgiActShowLocation, 0},  // the location display
    {6, CgiActShowLocation, 0},  // the location display
    {7, CgiActShowLocation, 0},  // the location display
    {8, CgiActShowLocation, 0},  // the location display
    {9, CgiActAddDiscussionForm, 0},  // CreateAddForumForm
    {10, CgiActAddDiscussion, kCgiActNoCache},  // AddNewForumItem
    {11, CgiActAddMessage, kCgiActNoCache},  // AddNewForumResponse
    {12, CgiActEditMessage, kCgiActNoCache},  // EditReponse
    {13, CgiActShowLocation, 0},  // the location display
    {14, CgiActShowLocation, 0},  // the location display
    {15, CgiActLoginForm, kCgiActNoCache},  // CreateLoginForm
    {18, CgiActRegisterForm, 0},  // CreateRegistrationForm
    {20, CgiActRegister, kCgiActNoCache},  // RegisterNewUser
    {23, CgiActLogin, kCgiActNoCache},  // LoginRegisteredUser
    {25, CgiActPrefsForm, kCgiActNoCache},  // CreateUserPrefsFormParams
    {26, CgiActPrefs, kCgiActNoCache},  // ProcessUserPrefs
    {27, CgiActUserPicture, kCgiActBinary},  // DisplayUserPicture
    {29, CgiActSubscribe, 0},  // ProcessSubscription
    {30, CgiActDefaultPicture, kCgiActBinary},  // DisplayDefaultPicture
    {31, CgiActUserPictureI, kCgiActBinary},  // DisplayUserPictureI
    {33, CgiActQuit, kCgiActNoCache},  // quit
    {36, CgiActCancelSubscription, 0},  // ProcessCancelSubscription
    {37, CgiActShowLocation, 0},  // the location display
    {38, CgiActReadSubscription, 0},  // ProcessReadSubscription
    {39, CgiActEditFolderForm, 0},  // CreateEditCat
    {40, CgiActDeleteFolder, 0},  // DeleteCat
    {41, CgiActEditDiscussionForm, 0},  // CreateEditForum
    {42, CgiActDeleteDiscussion, 0},  // DeleteForum
    {43, CgiActGuestPicture, kCgiActBinary},  // DisplayGuestPicture
    {44, CgiActPostLookup, kCgiActNoCache},  // PostLookup
    {45, CgiActPostFailed, kCgiActNoCache},  // DisplayPostFailed
    {46, CgiActSysopSettingsShow, 0},  // CreateSysopGuestSettingsForm
    {47, CgiActSysopSettingsProcess, kCgiActNoCache},  // ProcessSysopGuestSettings
    {51, CgiActDeleteDiscussionCk, 0},  // CreateDeleteForumCk
    {52, CgiActDeleteFolderCk, 0},  // CreateDeleteCatCk
    {53, CgiActEditMessageForm, 0},  // CreateEditResponse
    {54, CgiActDeleteMessageCk, 0},  // CreateDeleteResponseCk
    {55, CgiActDeleteMessage, 0},  // DeleteResponse
    {56, CgiActShowLocation, 0},  // the location display
    {57, CgiActEditDiscussion, kCgiActNoCache},  // EditForum
    {58, CgiActEditFolder, kCgiActNoCache},  // EditCat
    {59, CgiActSysopControls, 0},  // CreateSysopControlsForm
    {60, CgiActSysopSettingsProcess, kCgiActNoCache},  // ProcessSysopRegUserSettings
    {61, CgiActSysopSettingsProcess, kCgiActNoCache},  // ProcessSysopGeneralSettings
    {62, CgiActSysopSettingsShow, 0},  // CreateSysopRegUserSettingsForm
    {63, CgiActSysopSettingsShow, 0},  // CreateSysopGeneralSettingsForm
    {64, nullptr, 0},  // ProcessExport
    {65, nullptr, 0},  // CreateImportForm
    {66, nullptr, kCgiActNoCache},  // ProcessImport
    {67, CgiActUserInfo, 0},  // DisplayUserInfo
    {68, nullptr, 0},  // CreateLoginNewsForm
    {69, nullptr, kCgiActNoCache},  // LoginNews
    {70, CgiActSysopSetPasswordForm, 0},  // CreateSetPassword
    {71, CgiActSysopSetPassword, kCgiActNoCache},  // SetPassword
    {72, CgiActSysopRemoveUserForm, 0},  // CreateRemoveUser
    {73, CgiActSysopRemoveUser, kCgiActNoCache},  // RemoveUser
    {74, CgiActSysopClearPictureForm, 0},  // CreateClearPicture
    {75, CgiActSysopClearPicture, kCgiActNoCache},  // ClearPicture
    {78, CgiActSysopStartupWelcome, 0},  // CreateSysopStartupWelcome
    {81, CgiActSysopStartupImages, 0},  // SysopGotStartupImages
    {84, CgiActSysopStartupPassword, 0},  // SysopGotStartupPassword
    {85, CgiActSysopStartupGeneral, 0},  // SysopGotStartupGeneral
    {90, CgiActSysopSwitch, 0},  // switches
    {92, CgiActSysopSwitch, 0},  // switches
    {93, CgiActSysopSwitch, 0},  // switches
    {94, CgiActSysopLoginForm, kCgiActNoCache},  // CreateSysopLoginForm
    {95, CgiActSysopLogin, kCgiActNoCache},  // LoginSysopUser
    {96, CgiActSysopSwitch, 0},  // switches
    {98, nullptr, 0},  // ServeQuilFile
    {99, CgiActSysopReset, 0},  // QueueReset
    {100, CgiActSysopTest, 0},  // Test
    {101, CgiActSysopSettingsShow, 0},  // CreateSysopButtonSizesForm
    {102, CgiActSysopSettingsProcess, kCgiActNoCache},  // ProcessSysopButtonSizes
    {105, CgiActSysopSettingsShow, 0},  // CreateSysopTopSettingsForm
    {106, CgiActSysopSettingsProcess, kCgiActNoCache},  // ProcessSysopTopSettings
    {107, CgiActSysopSettingsShow, 0},  // CreateSysopFolderSettingsForm
    {108, CgiActSysopSettingsProcess, kCgiActNoCache},  // ProcessSysopFolderSettings
    {109, CgiActSysopSettingsShow, 0},  // CreateSysopDiscussSettingsForm
    {110, CgiActSysopSettingsProcess, kCgiActNoCache},  // ProcessSysopDiscussSettings
    {111, CgiActSysopSettingsShow, 0},  // CreateSysopToolbarSettingsForm
    {112, CgiActSysopSettingsProcess, kCgiActNoCache},  // ProcessSysopToolbarSettings
    {113, CgiActSysopSettingsShow, 0},  // CreateSysopPictureSettingsForm
    {114, CgiActSysopSettingsProcess, kCgiActNoCache},  // ProcessSysopPictureSettings
    {115, CgiActAccessShow, 0},  // CreateAccessForm
    {116, CgiActAccessProcess, kCgiActNoCache},  // AccessForm
    {117, CgiActAccessImport, kCgiActNoCache},  // AccessImportForm
    {118, CgiActGroupsShow, 0},  // CreateGroupsForm
    {119, CgiActGroupsProcess, kCgiActNoCache},  // GroupsForm
    {120, CgiActGroupShow, 0},  // CreateGroupForm
    {121, CgiActGroupProcess, kCgiActNoCache},  // GroupForm
    {122, CgiActUserInfo, 0},  // DisplayUserNameInfo
    {123, CgiActGroupImport, kCgiActNoCache},  // GroupImportForm
    {124, CgiActCheckModerated, 0},  // CheckModerated
    {125, CgiActApproveModerated, kCgiActNoCache},  // ApproveModerated
    {126, nullptr, 0},  // CreateSearchForm
    {127, nullptr, kCgiActNoCache},  // Search
    {128, CgiActShowLocation, 0},  // the location display
    {129, CgiActSysopPickUser, 0},  // CreateSysopSetUserPrefs
    {130, CgiActSysopPickUserProcess, kCgiActNoCache},  // ProcessSysopSetUserPrefs
    {131, CgiActSysopStats, 0},  // ShowSysopStats
    {132, CgiActSysopStatsClear, 0},  // ClearSysopStats
    {133, CgiActSysopSettingsShow, 0},  // ShowSysopMem
    {134, CgiActSysopSettingsProcess, kCgiActNoCache},  // ProcessSysopMem
    {135, CgiActUserInfo, 0},  // DisplayUserUniqueInfo
    {136, CgiActAddLinkForm, 0},  // CreateAddLinkForm
    {137, CgiActAddLink, kCgiActNoCache},  // ProcessAddLink
    {138, CgiActEditLinkForm, 0},  // CreateEditLinkForm
    {139, CgiActEditLink, kCgiActNoCache},  // ProcessEditLink
    {140, CgiActDeleteLink, 0},  // DeleteLink
    {186, CgiActSysopSettingsShow, 0},  // CreateSysopBackupForm
    {187, CgiActSysopSettingsProcess, kCgiActNoCache},  // ProcessSysopBackupForm
    {188, CgiActSysopSettingsShow, 0},  // CreateSysopRedundantForm
    {189, CgiActSysopSettingsProcess, kCgiActNoCache},  // ProcessSysopRedundantForm
    {190, CgiActSysopSynch, kCgiActNoCache},  // ProcessSynch
    {191, nullptr, 0},  // CreateAddLiveForm
    {192, nullptr, kCgiActNoCache},  // ProcessAddLive
    {193, nullptr, 0},  // CreateEditLiveForm
    {194, nullptr, kCgiActNoCache},  // ProcessEditLive
    {195, nullptr, 0},  // DeleteLive
    {196, nullptr, 0},  // EnterLiveRoom
    {197, CgiActSysopSettingsShow, 0},  // chat service administration
    {198, CgiActSysopSettingsProcess, kCgiActNoCache},  // chat service administration
    {200, nullptr, 0},  // chat service test
    {201, CgiActSysopSwitch, 0},  // switches
    {202, CgiActRestart, kCgiActNoCache},  // restart
    {203, nullptr, 0},  // search index: start indexing, index status
    {204, nullptr, 0},  // search index: start indexing, index status
    {205, CgiActSysopSwitch, 0},  // switches
    {206, CgiActSysopSwitch, 0},  // switches
    {207, CgiActSysopChatStatus, kCgiActNoCache},  // chat service administration
    {208, CgiActSysopSettingsShow, 0},  // chat service administration
    {209, CgiActSysopSettingsProcess, kCgiActNoCache},  // chat service administration
    {210, CgiActSysopSwitch, 0},  // switches
    {211, CgiActSysopSwitch, 0},  // switches
    {212, CgiActSysopExportUsersForm, 0},  // ShowExportUsers
    {213, CgiActSysopExportUsers, kCgiActNoCache},  // ExportUsers
    {214, CgiActSysopLookupUsersForm, 0},  // ShowLookupUsers
    {215, CgiActSysopLookupUsers, kCgiActNoCache},  // LookupUsers
    {216, CgiActSysopIndexShow, 0},  // ShowIndex
    {217, CgiActSysopIndexConfirm, kCgiActNoCache},  // ConfirmIndex
    {218, CgiActSysopIndexProcess, kCgiActNoCache},  // ProcessIndex
    {219, CgiActSysopBackupStatus, 0},  // CreateSysopBackupStatus
    {220, nullptr, 0},  // ShowExportChoice
    {221, nullptr, 0},  // ShowExportSelection
    {222, nullptr, kCgiActNoCache},  // ExportSelection
    {223, nullptr, 0},  // EnterLiveRoom
    {224, CgiActUserInfo, 0},  // DisplayUserUniqueInfoH
    {225, CgiActGetInfo, 0},  // GetInfo
    {226, CgiActSysopSettingsShow, 0},  // CreateSysopHttpForm
    {227, CgiActSysopSettingsProcess, kCgiActNoCache},  // ProcessSysopHttpForm
    {228, CgiActSysopSettingsShow, 0},  // CreateSysopOtherSettings
    {229, CgiActReplyForm, 0},  // ShowReplyForm
    {230, CgiActShowSummary, 0},  // ShowForumSummary
    {231, CgiActSysopSettingsShow, 0},  // ShowSysopNntp
    {232, CgiActSysopSettingsProcess, 0},  // ProcessSysopNntp
    {233, CgiActDownload, kCgiActBinary},  // Download
    {234, CgiActSysopSettingsProcess, 0},  // ProcessSysopSetLogging
    {237, CgiActSysopSpiderStatus, kCgiActNoCache},  // spider status
    {239, CgiActGroupAccessShow, 0},  // CreateGroupAccessForm
    {240, CgiActGroupAccessProcess, kCgiActNoCache},  // GroupAccessForm
    {241, nullptr, 0},  // EnterLiveRoomHTML
    {242, nullptr, 0},  // ShowHTMLChatStream
    {243, nullptr, 0},  // ShowHTMLChatInput
    {244, nullptr, 0},  // ShowHTMLChatUsers
    {245, CgiActSysopSettingsShow, 0},  // ShowSysopEmail
    {246, CgiActSysopSettingsProcess, 0},  // ProcessSysopEmail
    {247, CgiActSysopSettingsShow, 0},  // CreateSysopLdapForm
    {248, CgiActSysopSettingsProcess, 0},  // ProcessSysopLdapForm
    {249, nullptr, 0},  // EnterLiveRoomFullPageHTML
    {250, nullptr, 0},  // EmailList
    {251, nullptr, 0},  // EmailRead
    {252, nullptr, 0},  // EmailWrite
    {253, nullptr, 0},  // EmailReply
    {254, nullptr, 0},  // EmailForward
    {255, nullptr, 0},  // EmailDelete
    {256, nullptr, kCgiActNoCache},  // EmailSend
};
// clang-format on
const int kCgiActionTableSize = int(sizeof(kCgiActionTable) / sizeof(kCgiActionTable[0]));

}  // namespace quil
