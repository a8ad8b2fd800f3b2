// The action table: one entry {command, handler, flags} per command that
// the dispatcher knows.  An entry without a handler (and every number not
// listed) is answered "Unable to process"; the comment names the handler
// the entry is for.  Commands 17 (LoginFailure) and 91 (SetLogAndHalt)
// have names but no entry.
#include "CgiEditInt.h"

namespace quil {

// clang-format off
const CgiAction kCgiActionTable[] = {
    {1, nullptr, 0},  // the location display
    {2, nullptr, 0},  // the location display
    {3, CgiActAddFolderForm, 0},  // CreateAddCatForm
    {4, CgiActAddFolder, kCgiActNoCache},  // AddNewCatItem
    {5, nullptr, 0},  // the location display
    {6, nullptr, 0},  // the location display
    {7, nullptr, 0},  // the location display
    {8, nullptr, 0},  // the location display
    {9, CgiActAddDiscussionForm, 0},  // CreateAddForumForm
    {10, CgiActAddDiscussion, kCgiActNoCache},  // AddNewForumItem
    {11, CgiActAddMessage, kCgiActNoCache},  // AddNewForumResponse
    {12, CgiActEditMessage, kCgiActNoCache},  // EditReponse
    {13, nullptr, 0},  // the location display
    {14, nullptr, 0},  // the location display
    {15, nullptr, kCgiActNoCache},  // CreateLoginForm
    {18, nullptr, 0},  // CreateRegistrationForm
    {20, nullptr, kCgiActNoCache},  // RegisterNewUser
    {23, nullptr, kCgiActNoCache},  // LoginRegisteredUser
    {25, nullptr, 0},  // CreateUserPrefsFormParams
    {26, nullptr, kCgiActNoCache},  // ProcessUserPrefs
    {27, nullptr, kCgiActBinary},  // DisplayUserPicture
    {29, CgiActSubscribe, 0},  // ProcessSubscription
    {30, nullptr, kCgiActBinary},  // DisplayDefaultPicture
    {31, nullptr, kCgiActBinary},  // DisplayUserPictureI
    {33, nullptr, 0},  // quit
    {36, CgiActCancelSubscription, 0},  // ProcessCancelSubscription
    {37, nullptr, 0},  // the location display
    {38, CgiActReadSubscription, 0},  // ProcessReadSubscription
    {39, CgiActEditFolderForm, 0},  // CreateEditCat
    {40, CgiActDeleteFolder, 0},  // DeleteCat
    {41, CgiActEditDiscussionForm, 0},  // CreateEditForum
    {42, CgiActDeleteDiscussion, 0},  // DeleteForum
    {43, nullptr, kCgiActBinary},  // DisplayGuestPicture
    {44, CgiActPostLookup, kCgiActNoCache},  // PostLookup
    {45, nullptr, kCgiActNoCache},  // DisplayPostFailed
    {46, nullptr, 0},  // CreateSysopGuestSettingsForm
    {47, nullptr, kCgiActNoCache},  // ProcessSysopGuestSettings
    {51, CgiActDeleteDiscussionCk, 0},  // CreateDeleteForumCk
    {52, CgiActDeleteFolderCk, 0},  // CreateDeleteCatCk
    {53, CgiActEditMessageForm, 0},  // CreateEditResponse
    {54, CgiActDeleteMessageCk, 0},  // CreateDeleteResponseCk
    {55, CgiActDeleteMessage, 0},  // DeleteResponse
    {56, nullptr, 0},  // the location display
    {57, CgiActEditDiscussion, kCgiActNoCache},  // EditForum
    {58, CgiActEditFolder, kCgiActNoCache},  // EditCat
    {59, nullptr, 0},  // CreateSysopControlsForm
    {60, nullptr, kCgiActNoCache},  // ProcessSysopRegUserSettings
    {61, nullptr, kCgiActNoCache},  // ProcessSysopGeneralSettings
    {62, nullptr, 0},  // CreateSysopRegUserSettingsForm
    {63, nullptr, 0},  // CreateSysopGeneralSettingsForm
    {64, nullptr, 0},  // ProcessExport
    {65, nullptr, 0},  // CreateImportForm
    {66, nullptr, kCgiActNoCache},  // ProcessImport
    {67, nullptr, 0},  // DisplayUserInfo
    {68, nullptr, 0},  // CreateLoginNewsForm
    {69, nullptr, kCgiActNoCache},  // LoginNews
    {70, nullptr, 0},  // CreateSetPassword
    {71, nullptr, kCgiActNoCache},  // SetPassword
    {72, nullptr, 0},  // CreateRemoveUser
    {73, nullptr, kCgiActNoCache},  // RemoveUser
    {74, nullptr, 0},  // CreateClearPicture
    {75, nullptr, kCgiActNoCache},  // ClearPicture
    {78, nullptr, 0},  // CreateSysopStartupWelcome
    {81, nullptr, 0},  // SysopGotStartupImages
    {84, nullptr, 0},  // SysopGotStartupPassword
    {85, nullptr, 0},  // SysopGotStartupGeneral
    {90, nullptr, 0},  // switches
    {92, nullptr, 0},  // switches
    {93, nullptr, 0},  // switches
    {94, nullptr, kCgiActNoCache},  // CreateSysopLoginForm
    {95, nullptr, kCgiActNoCache},  // LoginSysopUser
    {96, nullptr, 0},  // switches
    {98, nullptr, 0},  // ServeQuilFile
    {99, nullptr, 0},  // QueueReset
    {100, nullptr, 0},  // Test
    {101, nullptr, 0},  // CreateSysopButtonSizesForm
    {102, nullptr, kCgiActNoCache},  // ProcessSysopButtonSizes
    {105, nullptr, 0},  // CreateSysopTopSettingsForm
    {106, nullptr, kCgiActNoCache},  // ProcessSysopTopSettings
    {107, nullptr, 0},  // CreateSysopFolderSettingsForm
    {108, nullptr, kCgiActNoCache},  // ProcessSysopFolderSettings
    {109, nullptr, 0},  // CreateSysopDiscussSettingsForm
    {110, nullptr, kCgiActNoCache},  // ProcessSysopDiscussSettings
    {111, nullptr, 0},  // CreateSysopToolbarSettingsForm
    {112, nullptr, kCgiActNoCache},  // ProcessSysopToolbarSettings
    {113, nullptr, 0},  // CreateSysopPictureSettingsForm
    {114, nullptr, kCgiActNoCache},  // ProcessSysopPictureSettings
    {115, nullptr, 0},  // CreateAccessForm
    {116, nullptr, kCgiActNoCache},  // AccessForm
    {117, nullptr, kCgiActNoCache},  // AccessImportForm
    {118, nullptr, 0},  // CreateGroupsForm
    {119, nullptr, kCgiActNoCache},  // GroupsForm
    {120, nullptr, 0},  // CreateGroupForm
    {121, nullptr, kCgiActNoCache},  // GroupForm
    {122, nullptr, 0},  // DisplayUserNameInfo
    {123, nullptr, kCgiActNoCache},  // GroupImportForm
    {124, CgiActCheckModerated, 0},  // CheckModerated
    {125, CgiActApproveModerated, kCgiActNoCache},  // ApproveModerated
    {126, nullptr, 0},  // CreateSearchForm
    {127, nullptr, kCgiActNoCache},  // Search
    {128, nullptr, 0},  // the location display
    {129, nullptr, 0},  // CreateSysopSetUserPrefs
    {130, nullptr, kCgiActNoCache},  // ProcessSysopSetUserPrefs
    {131, nullptr, 0},  // ShowSysopStats
    {132, nullptr, 0},  // ClearSysopStats
    {133, nullptr, 0},  // ShowSysopMem
    {134, nullptr, kCgiActNoCache},  // ProcessSysopMem
    {135, nullptr, 0},  // DisplayUserUniqueInfo
    {136, CgiActAddLinkForm, 0},  // CreateAddLinkForm
    {137, CgiActAddLink, kCgiActNoCache},  // ProcessAddLink
    {138, CgiActEditLinkForm, 0},  // CreateEditLinkForm
    {139, CgiActEditLink, kCgiActNoCache},  // ProcessEditLink
    {140, CgiActDeleteLink, 0},  // DeleteLink
    {186, nullptr, 0},  // CreateSysopBackupForm
    {187, nullptr, kCgiActNoCache},  // ProcessSysopBackupForm
    {188, nullptr, 0},  // CreateSysopRedundantForm
    {189, nullptr, kCgiActNoCache},  // ProcessSysopRedundantForm
    {190, nullptr, 0},  // ProcessSynch
    {191, nullptr, 0},  // CreateAddLiveForm
    {192, nullptr, kCgiActNoCache},  // ProcessAddLive
    {193, nullptr, 0},  // CreateEditLiveForm
    {194, nullptr, kCgiActNoCache},  // ProcessEditLive
    {195, nullptr, 0},  // DeleteLive
    {196, nullptr, 0},  // EnterLiveRoom
    {197, nullptr, 0},  // chat service administration
    {198, nullptr, kCgiActNoCache},  // chat service administration
    {200, nullptr, 0},  // chat service test
    {201, nullptr, 0},  // switches
    {202, nullptr, 0},  // restart
    {203, nullptr, 0},  // search index: start indexing, index status
    {204, nullptr, 0},  // search index: start indexing, index status
    {205, nullptr, 0},  // switches
    {206, nullptr, 0},  // switches
    {207, nullptr, 0},  // chat service administration
    {208, nullptr, 0},  // chat service administration
    {209, nullptr, kCgiActNoCache},  // chat service administration
    {210, nullptr, 0},  // switches
    {211, nullptr, 0},  // switches
    {212, nullptr, 0},  // ShowExportUsers
    {213, nullptr, kCgiActNoCache},  // ExportUsers
    {214, nullptr, 0},  // ShowLookupUsers
    {215, nullptr, kCgiActNoCache},  // LookupUsers
    {216, nullptr, 0},  // ShowIndex
    {217, nullptr, kCgiActNoCache},  // ConfirmIndex
    {218, nullptr, kCgiActNoCache},  // ProcessIndex
    {219, nullptr, 0},  // CreateSysopBackupStatus
    {220, nullptr, 0},  // ShowExportChoice
    {221, nullptr, 0},  // ShowExportSelection
    {222, nullptr, kCgiActNoCache},  // ExportSelection
    {223, nullptr, 0},  // EnterLiveRoom
    {224, nullptr, 0},  // DisplayUserUniqueInfoH
    {225, nullptr, 0},  // GetInfo
    {226, nullptr, 0},  // CreateSysopHttpForm
    {227, nullptr, kCgiActNoCache},  // ProcessSysopHttpForm
    {228, nullptr, 0},  // CreateSysopOtherSettings
    {229, CgiActReplyForm, 0},  // ShowReplyForm
    {230, nullptr, 0},  // ShowForumSummary
    {231, nullptr, 0},  // ShowSysopNntp
    {232, nullptr, 0},  // ProcessSysopNntp
    {233, nullptr, kCgiActBinary},  // Download
    {234, nullptr, 0},  // ProcessSysopSetLogging
    {237, nullptr, 0},  // spider status
    {239, nullptr, 0},  // CreateGroupAccessForm
    {240, nullptr, 0},  // GroupAccessForm
    {241, nullptr, 0},  // EnterLiveRoomHTML
    {242, nullptr, 0},  // ShowHTMLChatStream
    {243, nullptr, 0},  // ShowHTMLChatInput
    {244, nullptr, 0},  // ShowHTMLChatUsers
    {245, nullptr, 0},  // ShowSysopEmail
    {246, nullptr, 0},  // ProcessSysopEmail
    {247, nullptr, 0},  // CreateSysopLdapForm
    {248, nullptr, 0},  // ProcessSysopLdapForm
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
