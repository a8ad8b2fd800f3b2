// Access lists on a real database file: the defaults of a new root,
// inheritance and its cut, groups, the cache, the operation check and the
// form's messages.
#include "ForumAcc.h"
#include "ForumUser.h"
#include "forum_test_util.h"

using namespace quil;
using forumtest::S;

namespace {

constexpr uint32_t kParticipantGiven = 0x3cffffff, kParticipantTaken = 0x3000000;
constexpr uint32_t kReadOnlyGiven = 0x1, kReadOnlyTaken = 0x3ffffffe;
// What each kind withholds from users below host: edit 0x2 and delete
// 0x4 everywhere; in discussions also the add rights 0x8, 0x10, 0x40, 0x80
// and 0x400000; in links, containers and groups posting 0x100 as well.
constexpr uint32_t kFolderWithheld = 0x6;
constexpr uint32_t kDiscussionWithheld = 0x4000de;
constexpr uint32_t kGroupWithheld = 0x4001de;

class AccTest : public forumtest::ForumTest {
 protected:
  ChHandle NewUser(const char* name) {
    ChHandle user = 0;
    EXPECT_EQ(ForumUserCreate(root_, kForumUserRegistered, S(name), St(), St(), &user), 0);
    return user;
  }
  ChHandle NewGroup(const char* name) {
    ChHandle group = 0;
    EXPECT_EQ(ForumGroupCreate(root_, S(name), &group), 0);
    return group;
  }
  // The folder "/sub" with one discussion; the discussion's name.
  St SubWithDiscussion(ForumFile* sub, ForumFile* discussion) {
    Create(top_, "forum-category", "sub");
    *sub = Path("/sub");
    St name = Create(*sub, "forum-topic", "x");
    *discussion = ForumFileHasChild(*sub, name);
    return name;
  }
  void GiveClass(const ForumFile& item, ChHandle principal, const char* access) {
    EXPECT_TRUE(ForumAccFormSetClass(item, principal, S(access)).Empty());
  }
};

TEST_F(AccTest, ANewDatabaseGrantsAllButHostAndModeratedEverywhere) {
  ForumFile sub, discussion;
  St name = SubWithDiscussion(&sub, &discussion);
  ChHandle ann = NewUser("Ann Lee");
  for (const ForumFile* item : {&top_, &sub, &discussion}) {
    for (ChHandle who : {ChHandle(0), kForumAccAllGuests, ann}) {
      EXPECT_TRUE(ForumAccOpCk(*item, who, kForumAccRead | kForumAccPost));
      EXPECT_FALSE(ForumAccOpCk(*item, who, kForumAccHost));
      EXPECT_FALSE(ForumAccOpCk(*item, who, kForumAccModerated));
    }
  }
  EXPECT_EQ(ForumAccResolve(top_, ann), kForumAccAllRights & ~kFolderWithheld);
  EXPECT_EQ(ForumAccResolve(sub, ann), ForumAccMoveDown(kForumAccAllRights) & ~kFolderWithheld);
  uint32_t given = 0, taken = 0;
  ASSERT_TRUE(ForumAccGet(top_, kForumAccAllGuests, &given, &taken));
  EXPECT_EQ(given, kForumAccAllRights);
  EXPECT_FALSE(ForumAccHasList(sub));
  // No guests on this site: nothing for them.
  ForumSysopSetAllowGuests(root_, false);
  EXPECT_EQ(ForumAccResolve(sub, 0), 0u);
  EXPECT_NE(ForumAccResolve(sub, ann), 0u);
}

TEST_F(AccTest, AListOnASubfolderCutsInheritanceAndClearingRestoresIt) {
  ForumFile sub, discussion;
  St name = SubWithDiscussion(&sub, &discussion);
  ChHandle ann = NewUser("Ann Lee");
  ASSERT_TRUE(ForumAccOpCk(discussion, 0, kForumAccRead));
  GiveClass(sub, ann, "host");
  EXPECT_TRUE(ForumAccHasList(sub));
  EXPECT_FALSE(ForumAccOpCk(sub, 0, kForumAccRead));
  EXPECT_FALSE(ForumAccOpCk(discussion, 0, kForumAccRead));
  EXPECT_TRUE(ForumAccOpCk(sub, ann, kForumAccHost));
  // A change above no longer reaches the subfolder.
  ForumAccEnable(top_, kForumAccAllGuests, kForumAccAllRights | kForumAccHost);
  EXPECT_FALSE(ForumAccOpCk(discussion, 0, kForumAccRead));
  sub = discussion = ForumFile();
  Reopen();
  sub = Path("/sub");
  discussion = ForumFileHasChild(sub, name);
  ann = ForumUserLookup(root_, S("Ann Lee"));
  EXPECT_TRUE(ForumAccOpCk(sub, ann, kForumAccHost));
  EXPECT_FALSE(ForumAccOpCk(discussion, 0, kForumAccRead));
  EXPECT_TRUE(ForumAccFormClear(sub).Empty());
  EXPECT_FALSE(ForumAccHasList(sub));
  EXPECT_TRUE(ForumAccOpCk(discussion, 0, kForumAccRead));
  EXPECT_FALSE(ForumAccOpCk(sub, ann, kForumAccHost));
}

TEST_F(AccTest, CreatingAListOrTheSweepKeepsTheRights) {
  Create(top_, "forum-category", "sub");
  ForumFile sub = Path("/sub");
  ChHandle ann = NewUser("Ann Lee");
  uint32_t before = ForumAccResolve(sub, ann);
  EXPECT_TRUE(ForumAccFormCreate(sub).Empty());
  EXPECT_EQ(ForumAccFormCreate(sub).View(), "File already has an access list");
  EXPECT_EQ(ForumAccResolve(sub, ann), before);
  EXPECT_EQ(ForumAccResolve(sub, 0), before);
  // The sweep releases unfolded lists; the answers stay.
  AccSweep(root_);
  EXPECT_EQ(ForumAccResolve(sub, ann), before);
}

TEST_F(AccTest, ParticipantAndReadOnlyGroupsGiveParticipantMinusWhatReadOnlyTakes) {
  ChHandle ann = NewUser("Ann Lee"), bob = NewUser("Bob Ray");
  ChHandle writers = NewGroup("Writers"), readers = NewGroup("Readers");
  ASSERT_EQ(ForumGroupAddUser(root_, writers, ann), 0);
  ASSERT_EQ(ForumGroupAddUser(root_, readers, ann), 0);
  ASSERT_EQ(ForumGroupAddUser(root_, writers, bob), 0);
  GiveClass(top_, writers, "participant");
  GiveClass(top_, readers, "readOnly");
  uint32_t given = 0, taken = 0;
  ASSERT_TRUE(ForumAccGet(top_, writers, &given, &taken));
  EXPECT_EQ(given, kParticipantGiven);
  EXPECT_EQ(taken, kParticipantTaken);
  uint32_t both = (kParticipantGiven | kReadOnlyGiven) & ~(kParticipantTaken | kReadOnlyTaken);
  EXPECT_EQ(ForumAccResolve(top_, ann), both & ~kFolderWithheld);
  EXPECT_EQ(ForumAccResolve(top_, bob), kParticipantGiven & ~kParticipantTaken & ~kFolderWithheld);
  EXPECT_FALSE(ForumAccOpCk(top_, ann, kForumAccPost));
  EXPECT_TRUE(ForumAccOpCk(top_, ann, kForumAccRead));
  // The cached answer follows a change of membership.
  ASSERT_EQ(ForumGroupRemoveUser(root_, readers, ann), 0);
  EXPECT_TRUE(ForumAccOpCk(top_, ann, kForumAccPost));
  // A direct entry goes before the groups.
  GiveClass(top_, ann, "noAccess");
  EXPECT_FALSE(ForumAccOpCk(top_, ann, kForumAccRead));
  // A user in no group of the list gets the default for registered users.
  ChHandle cy = NewUser("Cy Dunn");
  EXPECT_EQ(ForumAccResolve(top_, cy), kForumAccAllRights & ~kFolderWithheld);
  ForumAccEnable(top_, kForumAccAllUsers, kForumAccRead);
  EXPECT_EQ(ForumAccResolve(top_, cy), kForumAccRead);
  EXPECT_EQ(ForumAccResolve(top_, kForumAccAllUsers), kForumAccRead);
  EXPECT_EQ(ForumAccResolve(top_, kForumAccAllGuests), kForumAccAllRights & ~kFolderWithheld);
}

TEST_F(AccTest, SysopAndHostsGetEveryRightButModerated) {
  ChHandle sysop = ForumUserLookup(root_, S("sysop"));
  ChHandle ann = NewUser("Ann Lee");
  GiveClass(top_, ann, "moderated");
  EXPECT_TRUE(ForumAccOpCk(top_, ann, kForumAccModerated | kForumAccPost));
  ForumAccEnable(top_, ann, kForumAccHost | kForumAccModerated);
  ForumAccInhibit(top_, ann, 0);
  EXPECT_EQ(ForumAccResolve(top_, ann), (kForumAccHost | kForumAccAllRights) & ~kForumAccModerated);
  EXPECT_EQ(ForumAccResolve(top_, sysop), kForumAccAllRights);
  // The sysop may only be given host access.
  std::string want = std::string(kAccMsgSysopHost) + "sysop";
  EXPECT_EQ(ForumAccFormSetClass(top_, sysop, S("readOnly")).View(), want);
  EXPECT_TRUE(ForumAccFormSetClass(top_, sysop, S("host")).Empty());
}

TEST_F(AccTest, ProvisionalUsersAreHeldBackAsTheSysopSays) {
  ChHandle ann = NewUser("Ann Lee");
  ForumUserSetFlags(root_, ann, ForumUserFlags(root_, ann) | kForumUserProvisional);
  EXPECT_TRUE(ForumAccOpCk(top_, ann, kForumAccPost));
  ForumSysopSetProvisionalIsModerated(root_, true);
  EXPECT_TRUE(ForumAccOpCk(top_, ann, kForumAccPost | kForumAccModerated));
  ForumSysopSetProvisionalIsReadOnly(root_, true);
  EXPECT_FALSE(ForumAccOpCk(top_, ann, kForumAccPost));
  EXPECT_TRUE(ForumAccOpCk(top_, ann, kForumAccRead));
}

TEST_F(AccTest, AFolderHoldsOneKindOfItemUnlessMixingIsAllowed) {
  Create(top_, "forum-category", "sub");
  ForumFile sub = Path("/sub");
  ChHandle ann = NewUser("Ann Lee");
  uint32_t noMix = kForumAccRead | kForumAccAddFolder | kForumAccAddDiscussion;
  ForumAccEnable(sub, ann, noMix);
  EXPECT_TRUE(ForumAccOpCk(sub, ann, kForumAccAddFolder | kForumAccAddDiscussion));
  Create(sub, "forum-topic", "x");
  EXPECT_FALSE(ForumAccOpCk(sub, ann, kForumAccAddFolder));
  EXPECT_TRUE(ForumAccOpCk(sub, ann, kForumAccAddDiscussion));
  ForumAccEnable(sub, ann, noMix | kForumAccMixed);
  EXPECT_TRUE(ForumAccOpCk(sub, ann, kForumAccAddFolder));
  ForumSysopSetSiteKind(root_, kForumSiteFoldersOnly);
  EXPECT_FALSE(ForumAccOpCk(sub, ann, kForumAccAddFolder));
  EXPECT_TRUE(ForumAccOpCk(sub, ann, kForumAccAddDiscussion));
}

TEST_F(AccTest, TheFormRefusesUnknownNamesAndWholeLists) {
  ChHandle ann = NewUser("Ann Lee");
  St messages = ForumAccFormAddNames(top_, S("Ann Lee\nNo Body\nusers\ngroups\nguests\n"),
                                     S("readOnly"));
  EXPECT_EQ(messages.View(),
            "No user or group named \"No Body\"\n"
            "You cannot add the whole \"users\" list.\n"
            "You cannot add the whole \"groups\" list.\n"
            "You cannot add the \"guests\" list.");
  EXPECT_EQ(ForumAccResolve(top_, ann), kReadOnlyGiven);
  int entries = 0;
  ForumAccIter it = ForumAccStart(top_);
  ChHandle principal = 0;
  uint32_t given = 0, taken = 0;
  while (ForumAccNext(it, &principal, &given, &taken)) ++entries;
  ForumAccStop(it);
  EXPECT_EQ(entries, 3);  // registered users, guests, Ann
  ASSERT_TRUE(ForumAccGet(top_, ann, &given, &taken));
  EXPECT_EQ(ForumAccClassOf(given, taken), "readOnly");
  EXPECT_EQ(ForumAccClassOf(kForumAccAllRights, 0), "");
  // Clearing the top folder's list leaves only the general entries.
  ForumAccClear(top_);
  EXPECT_TRUE(ForumAccHasList(top_));
  EXPECT_FALSE(ForumAccGet(top_, ann, &given, &taken));
  EXPECT_EQ(ForumAccResolve(top_, ann), kForumAccAllRights & ~kFolderWithheld);
}

TEST_F(AccTest, StoredListsPutChangeAndDeleteEntries) {
  ChHandle near = ForumFileRecord(top_);
  ChHandle list = AccPermCreate(near);
  list = AccPermPut(list, kForumAccAllUsers, 5);
  list = AccPermPut(list, kForumAccAllGuests, 7);
  list = AccPermPut(list, kForumAccAllUsers, 9);
  uint32_t value = 0;
  ASSERT_TRUE(AccPermGet(list, kForumAccAllUsers, &value));
  EXPECT_EQ(value, 9u);
  list = AccPermPut(list, kForumAccAllUsers, kForumAccNoEntry);
  EXPECT_FALSE(AccPermGet(list, kForumAccAllUsers, &value));
  EXPECT_FALSE(AccPermChange(list, kForumAccAllUsers, 1));
  EXPECT_TRUE(AccPermChange(list, kForumAccAllGuests, 1));
  ASSERT_TRUE(AccPermGet(list, kForumAccAllGuests, &value));
  EXPECT_EQ(value, 1u);
  AccPermDestroy(list);
}

TEST_F(AccTest, GroupsUseTheListOfGroupsAndTheAllUsersGroupHasNoRights) {
  ChHandle writers = NewGroup("Writers");
  ChHandle ann = NewUser("Ann Lee");
  ForumFile group = ForumFileOpenUnique(root_, ForumUserUniqueId(root_, writers));
  ASSERT_TRUE(group);
  EXPECT_EQ(ForumAccResolve(group, ann), ForumAccMoveDown(kForumAccAllRights) & ~kGroupWithheld);
  ForumFile users = ForumFileOpenUnique(root_, kForumUsersId);
  EXPECT_EQ(ForumAccResolve(users, ann), 0u);
  GiveClass(group, ann, "readOnly");
  EXPECT_EQ(ForumAccResolve(group, ann), kReadOnlyGiven);
}

TEST_F(AccTest, AGroupMovesItsInheritedListDownAndKeepsItsRightsWhenItGetsItsOwn) {
  ChHandle writers = NewGroup("Writers");
  ChHandle ann = NewUser("Ann Lee");
  // A mask whose child bit 0x4000 moves down to 0x2.
  ForumAccEnable(top_, ann, kForumAccRead | 0x4000);
  ForumFile group = ForumFileOpenUnique(root_, ForumUserUniqueId(root_, writers));
  ASSERT_TRUE(group);
  uint32_t inherited = ForumAccResolve(group, ann);
  EXPECT_EQ(inherited, ForumAccMoveDown(kForumAccRead | 0x4000) & ~kGroupWithheld);
  EXPECT_EQ(inherited, kForumAccRead | 0x4000);  // 0x2, edit, is withheld
  ASSERT_TRUE(ForumAccCreateList(group));
  EXPECT_EQ(ForumAccResolve(group, ann), inherited);
}

TEST_F(AccTest, GroupsUseTheOwnListOfTheListOfGroups) {
  ChHandle writers = NewGroup("Writers");
  ChHandle ann = NewUser("Ann Lee");
  {
    ForumFile list = ForumFileOpenUnique(root_, ForumUserUniqueId(root_, ForumGroupList(root_)));
    ASSERT_TRUE(list);
    GiveClass(list, ann, "readOnly");
  }
  ForumFile group = ForumFileOpenUnique(root_, ForumUserUniqueId(root_, writers));
  ASSERT_TRUE(group);
  EXPECT_EQ(ForumAccResolve(group, ann), kForumAccRead);
  EXPECT_FALSE(ForumAccOpCk(group, ann, kForumAccPost));
}

TEST_F(AccTest, AMovedItemTakesTheRightsOfItsNewPlaceAtOnce) {
  Create(top_, "forum-category", "Closed");
  Create(top_, "forum-category", "Open");
  ForumFile closed = Path("/Closed");
  GiveClass(closed, kForumAccAllGuests, "noAccess");
  Create(closed, "forum-topic", "");
  ForumFile d = Path("/Closed/1");
  EXPECT_FALSE(ForumAccOpCk(d, 0, kForumAccRead));
  ASSERT_EQ(ForumCatItemMove(closed, S("1"), Path("/Open"), St()), 0);
  EXPECT_TRUE(ForumAccOpCk(d, 0, kForumAccRead));
  ASSERT_EQ(ForumCatItemMove(Path("/Open"), S("1"), closed, St()), 0);
  EXPECT_FALSE(ForumAccOpCk(d, 0, kForumAccRead));
}

TEST_F(AccTest, OnlyHostsAndTheSysopEditAndDelete) {
  ForumFile sub, discussion;
  SubWithDiscussion(&sub, &discussion);
  ChHandle ann = NewUser("Ann Lee"), bob = NewUser("Bob Ray");
  ChHandle sysop = ForumUserLookup(root_, S("sysop"));
  GiveClass(sub, ann, "host");
  GiveClass(sub, bob, "participant");
  for (const ForumFile* item : {&sub, &discussion}) {
    EXPECT_TRUE(ForumAccOpCk(*item, ann, kForumAccEdit | kForumAccDelete));
    EXPECT_TRUE(ForumAccOpCk(*item, sysop, kForumAccEdit | kForumAccDelete));
    EXPECT_FALSE(ForumAccOpCk(*item, bob, kForumAccEdit));
    EXPECT_FALSE(ForumAccOpCk(*item, bob, kForumAccDelete));
    EXPECT_FALSE(ForumAccOpCk(*item, 0, kForumAccDelete));
    EXPECT_TRUE(ForumAccOpCk(*item, bob, kForumAccRead | kForumAccPost));
  }
  // A participant adds items to a folder, not to a discussion.
  EXPECT_TRUE(ForumAccOpCk(sub, bob, kForumAccAddLink | kForumAccAddLive));
  EXPECT_FALSE(ForumAccOpCk(discussion, bob, kForumAccAddLink));
  EXPECT_FALSE(ForumAccOpCk(discussion, bob, kForumAccAddFolder));
  EXPECT_EQ(ForumAccStructure(sub), 0x6u);
  EXPECT_EQ(ForumAccStructure(discussion), 0x4000deu);
  Create(top_, "forum-link", "");
  EXPECT_EQ(ForumAccStructure(Path("/2")), 0x4001deu);
  // The site's kind takes posting and adding folders from everybody.
  ForumSysopSetSiteKind(root_, kForumSiteChatOnly);
  EXPECT_FALSE(ForumAccOpCk(discussion, ann, kForumAccPost));
  EXPECT_FALSE(ForumAccOpCk(sub, ann, kForumAccAddFolder));
  EXPECT_TRUE(ForumAccOpCk(sub, ann, kForumAccAddDiscussion | kForumAccEdit));
}

TEST_F(AccTest, PagesOfNamesGoForwardAndBackWithAPrefix) {
  for (const char* n : {"Ann Lee", "Bob Ray", "Cy Dunn", "Al Bee", "Abe Cole"}) NewUser(n);
  ChHandle beta = NewGroup("Beta");
  ChHandle alpha = NewGroup("alphas");
  GiveClass(top_, ForumUserLookup(root_, S("Bob Ray")), "readOnly");
  GiveClass(top_, beta, "moderated");
  auto names = [](const ForumAccPage& page) {
    std::string out;
    for (const ForumAccRow& r : page.rows) out += (out.empty() ? "" : "|") + r.name.Str();
    return out;
  };
  ForumAccPageAsk ask;
  ask.showAll = true;
  ask.count = 3;
  // Users are "Last, First"; groups go among them by name.
  ForumAccPage page = ForumAccFormPage(top_, ask);
  EXPECT_EQ(names(page), "alphas|Bee, Al|Beta");
  EXPECT_FALSE(page.moreBefore);
  EXPECT_TRUE(page.moreAfter);
  ask.after = page.rows.back().name;
  page = ForumAccFormPage(top_, ask);
  EXPECT_EQ(names(page), "Cole, Abe|Dunn, Cy|Lee, Ann");
  EXPECT_TRUE(page.moreBefore);
  EXPECT_TRUE(page.moreAfter);
  ask.after = page.rows.back().name;
  page = ForumAccFormPage(top_, ask);
  EXPECT_EQ(names(page), "Ray, Bob|sysop");
  EXPECT_FALSE(page.moreAfter);
  EXPECT_EQ(page.rows[0].access, "readOnly");
  EXPECT_TRUE(page.rows[0].inList);
  EXPECT_FALSE(page.rows[1].inList);
  ask.before = page.rows.front().name;
  ask.after = St();
  page = ForumAccFormPage(top_, ask);
  EXPECT_EQ(names(page), "Cole, Abe|Dunn, Cy|Lee, Ann");
  EXPECT_TRUE(page.moreBefore);
  ask.before = S("Cole");
  page = ForumAccFormPage(top_, ask);
  EXPECT_EQ(names(page), "alphas|Bee, Al|Beta");
  EXPECT_FALSE(page.moreBefore);
  ask = ForumAccPageAsk();
  ask.showAll = true;
  ask.prefix = S("b");
  EXPECT_EQ(names(ForumAccFormPage(top_, ask)), "Bee, Al|Beta");
  // Only the list's own entries.
  ask = ForumAccPageAsk();
  page = ForumAccFormPage(top_, ask);
  EXPECT_EQ(names(page), "Beta|Ray, Bob");
  EXPECT_TRUE(page.rows[0].group);
  EXPECT_EQ(page.rows[0].access, "moderated");
  (void)alpha;
}

TEST_F(AccTest, TheExportedListReadsBackIntoAnotherItem) {
  ChHandle ann = NewUser("Ann Lee"), bob = NewUser("Bob Ray"), cy = NewUser("Cy <Dunn>");
  ChHandle writers = NewGroup("Writers");
  Create(top_, "forum-category", "From");
  Create(top_, "forum-category", "To");
  ForumFile from = Path("/From"), to = Path("/To");
  GiveClass(from, ann, "host");
  GiveClass(from, writers, "participant");
  GiveClass(from, bob, "readOnly");
  ForumAccEnable(from, cy, 0x101);
  ForumAccInhibit(from, cy, 0x2);
  GiveClass(from, kForumAccAllGuests, "noAccess");
  ForumAccEnable(from, kForumAccAllUsers, 0x1);
  EXPECT_EQ(ForumAccFormNewUsers(from, S("readOnly")).View(), "");
  St text = ForumAccExport(from);
  EXPECT_EQ(text.View(),
            "<access\n"
            "  guestPermit=0\n"
            "  guestInhibit=3fffffff\n"
            "  otherPermit=1\n"
            "  otherInhibit=3ffffffe\n"
            ">\n"
            "<host>\n"
            "Lee, Ann\n"
            "<participant>\n"
            "Writers\n"
            "<read-only>\n"
            "Ray, Bob\n"
            "<other-access permit=101 inhibit=2>\n"
            "&lt;Dunn&gt;, Cy\n"
            "</access>\n");
  St report = ForumAccImport(to, StCat(text, S("\n<nonsense>")));
  EXPECT_EQ(report.View(),
            "  Add user: Lee, Ann\n  Add group: Writers\n  Add user: Ray, Bob\n"
            "  Add user: <Dunn>, Cy");
  EXPECT_EQ(ForumAccExport(to).View(), text.View());
  for (ChHandle who : {ChHandle(0), ann, bob, cy, ForumUserLookup(root_, S("sysop"))})
    EXPECT_EQ(ForumAccResolve(to, who), ForumAccResolve(from, who)) << who;
  // Names that are no user or group, and the whole lists, are refused; the
  // general members take a class.
  Create(top_, "forum-category", "Third");
  ForumFile third = Path("/Third");
  report = ForumAccImport(third, S("<access>\n<read-only>\nNo Body\nusers\n<GuestAny>\n"
                                   "<host>\n<SysopAny>\n</access>\n<host>\nRay, Bob\n"));
  EXPECT_EQ(report.View(),
            "No user or group named \"No Body\"\n"
            "You cannot add the whole \"users\" list.");
  EXPECT_EQ(ForumAccResolve(third, 0), kForumAccRead);
  EXPECT_FALSE(ForumAccOpCk(third, bob, kForumAccHost));
  EXPECT_EQ(ForumAccImport(third, StCreateRepeat(kForumAccImportMax + 1, ' ')).View(),
            "Access list too long");
}

}  // namespace
