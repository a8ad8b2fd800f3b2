// Files, programs, mail, timed actions, objectionable words, scripts and
// structured containers, with real files and real programs.
#include <sys/stat.h>
#include <unistd.h>

#include "Qu.h"
#include "site_fixture.h"

namespace {

using namespace quil;
using tpltest::S;
using tpltest::SiteTest;

class IoTest : public SiteTest {};

TEST_F(IoTest, FilesStayInsideTheDocumentDirectory) {
  EXPECT_EQ(Render("%% \"note.txt\".fileWrite(\"hello\") %%%% \"note.txt\".fileExists %%"
                   "%% \"note.txt\".fileLength %%|%% \"note.txt\".fileRead %%|%% file(\"note.txt\") %%"),
            "115|hello|hello");
  EXPECT_EQ(ReadFile("html/note.txt"), "hello");
  EXPECT_EQ(Render("%% \"note.txt\".fileRename(\"moved.txt\") %%%% \"note.txt\".fileExists %%"
                   "%% \"moved.txt\".fileDelete %%%% \"moved.txt\".fileExists %%"),
            "1010");
  std::ofstream("outside.txt") << "SECRET";
  EXPECT_EQ(Render("[%% \"../outside.txt\".fileRead %%][%% file(\"../outside.txt\") %%]"
                   "[%% \"/etc/passwd\".fileExists %%][%% fileError %%]"),
            "[][][0][File name refused: /etc/passwd]");
  EXPECT_EQ(Render("%% \"../escape.txt\".fileWrite(\"x\") %%%% fileDelete(\"../outside.txt\") %%"),
            "00");
  EXPECT_EQ(access("escape.txt", F_OK), -1);
  EXPECT_EQ(ReadFile("outside.txt"), "SECRET");
  // A symbolic link inside the directory that leads out is refused too.
  ASSERT_EQ(symlink("..", "html/up"), 0);
  EXPECT_EQ(Render("[%% \"up/outside.txt\".fileRead %%]"), "[]");
  EXPECT_EQ(Render("%% \"missing.txt\".fileRead %%|%% fileError %%").rfind("|Cannot open", 0), 0u);
}

TEST_F(IoTest, ProgramsRunFromTheDocumentDirectoryWithoutAShell) {
  WriteDoc("echo.sh", "#!/bin/sh\nprintf '%s|' \"$@\"; printf '%s' \"$REMOTE_ADDR\"\n");
  chmod("html/echo.sh", 0755);
  EXPECT_EQ(Render("%% exec(\"echo.sh a 'b;c' $(id)\") %%"), "a|'b;c'|$(id)|");
  TemplateSimpleRequest request;
  request.cgi.push_back({S("remote_addr"), S("10.1.2.3")});
  EXPECT_EQ(Render("%% cgi(\"echo.sh x\") %%", 0, "", &request), "x|10.1.2.3");
  // Outside the directory, missing, or not executable: refused.
  WriteDoc("plain.sh", "#!/bin/sh\necho no\n");
  EXPECT_EQ(Render("[%% exec(\"/bin/echo hi\") %%][%% exec(\"../x\") %%][%% exec(\"none\") %%]"
                   "[%% exec(\"plain.sh\") %%][%% exec(\"\") %%]"),
            "[][][][][]");
  EXPECT_EQ(Render("%% exec(\"plain.sh\") %%%% fileError %%"), "Program failed: plain.sh");
}

TEST_F(IoTest, MailGoesToTheGatewayOrTheLog) {
  std::vector<std::string> sent;
  EXPECT_EQ(Render("%% email(\"To: a@example.org, b@example.org\" & crlf & \"Subject: Hi\""
                   " & crlf & crlf & \"Body\") %%"),
            "0");  // no gateway: logged
  TemplateOnEmail([&](ForumRoot, const St& to, const St& message) {
    sent.push_back(to.Str() + "#" + message.Str());
    return true;
  });
  EXPECT_EQ(Render("%% email(\"To: a@example.org\" & lf & \"Subject: Hi\" & lf & lf & \"Body\") %%"),
            "1");
  EXPECT_EQ(Render("%% email(\"\") %%"), "0");
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0], "a@example.org#Subject: Hi\n\nBody");
}

TEST_F(IoTest, EmailLogDefaultsToWebAndWarning) {
  std::vector<std::string> lines;
  TemplateOnEmailLog([&](const St& facility, const St& level, const St& text) {
    lines.push_back(facility.Str() + "|" + level.Str() + "|" + text.Str());
  });
  Render("%% \"plain\".emailLog %%%% \"one\".emailLog(\"mail\") %%"
         "%% \"two\".emailLog(\"mail\", \"error\", \"extra\") %%");
  EXPECT_EQ(lines, (std::vector<std::string>{"web|warning|plain", "mail|warning|one",
                                             "mail|error|two"}));
}

TEST_F(IoTest, TimedActionsRunTheirMacroLater) {
  ForumSysopSetUseTemplates(root_, true);
  WriteDoc("quil.tpl",
           "%% macro later %%%% \"queued.txt\".fileWrite(qParam1 & \"/\" & qParam2 & \"/\""
           " & userName) %%%% endmacro %%");
  TemplateFileRefresh();
  ChHandle ann = MakeUser("Ann");
  std::string id = Render("%% \"later\".queue(0, userUniqueId, \"p1\", \"p2\") %%", ann);
  EXPECT_NE(id, "0");
  EXPECT_EQ(ReadFile("html/queued.txt"), "");
  QuProcess(100, 0);
  EXPECT_EQ(ReadFile("html/queued.txt"), "p1/p2/Ann");
  // queueClear drops what is waiting.
  Render("%% \"later\".queue(3600, \"\", \"x\", \"y\") %%%% queueClear %%");
  EXPECT_TRUE(TemplateMainSite().queued.empty());
  TemplateFileClose(TemplateMainSite());
  EXPECT_EQ(Render("%% \"later\".queue(0) %%"), "0");  // no file: no queue
}

TEST_F(IoTest, ObjectionableWords) {
  ForumSysopSetObjectionable(root_, S("darn, heck"));
  ForumTemplateChange(root_);
  EXPECT_EQ(Render("%% \"Oh darn it\".isObjectionable %%%% \"Oh dear\".isObjectionable %%|"
                   "%% \"Oh DARN it\".markObjectionable %%"),
            "10|Oh <mark class=\"objectionable\">DARN</mark> it");
}

TEST_F(IoTest, ScriptsWriteAnErrorAndNeverFail) {
  EXPECT_EQ(Render("a%% \"1+1\".jsEval %%b|%% \"x\".jsEvalOrError %%"),
            "a<b>%% Server-side scripts are not available %%</b>b|"
            "Server-side scripts are not available");
  EXPECT_EQ(Render("a%% function f() { return 1; } %%b"),
            "a<b>%% Server-side scripts are not available %%</b>b");
}

TEST_F(IoTest, ContainersBuildReadAndTravel) {
  std::string t =
      "%% set c scCreateContainer(\"order\") %%"
      "%% c.scAddField(\"item\", \"string\") %%,%% c.scAddField(\"qty\", \"integer\") %%,"
      "%% c.scSetValue(\"item\", \"tea\") %%%% c.scSetValue(\"item\", \"cake\", 1) %%"
      "%% c.scSetValue(1, 3) %%,%% c.scGetRowCount(\"item\") %%,%% c.scGetValue(\"item\", 1) %%,"
      "%% c.scGetNameValue(\"qty\") %%,%% c.scFindFieldByName(\"qty\") %%,"
      "%% c.scSetContainerProp(\"state\", \"open\") %%%% c.scGetContainerProp(\"state\") %%,"
      "%% set d c.scContainerToBuffer.scBufferToContainer %%%% d.scGetValue(\"item\", 1) %%,"
      "%% d.scGetContainerProp(\"state\") %%,%% d.scEnumFields.count(lf) %%,"
      "%% c.scDeleteField(\"qty\") %%%% c.scGetFieldCount %%,%% c.scDestroyContainer %%"
      "%% c.scGetFieldCount %%[%% scGetError %%]";
  EXPECT_EQ(Render(t),
            "0,1,111,2,cake,3,1,1open,cake,open,1,11,1[No such container]");
  EXPECT_EQ(Render("%% set c \"a=1\" & lf & \"b=two\" %%%% set k c.scTextToContainer %%"
                   "%% k.scGetNameValue(\"b\") %%%% k.scGetFieldCount %%"),
            "two2");
  TemplateSimpleRequest request;
  request.AddForm("q", "1");
  request.AddForm("q", "2");
  EXPECT_EQ(Render("%% set k scFormToContainer %%%% k.scGetRowCount(\"q\") %%", 0, "", &request),
            "2");
}

TEST_F(IoTest, MailboxesAnswerWithTheirMacro) {
  ForumSysopSetUseTemplates(root_, true);
  WriteDoc("quil.tpl",
           "%% macro orders %%%% set r scCreateContainer %%%% set x r.scAddField(\"got\") %%"
           "%% set x r.scSetValue(\"got\", scRequestContainer.scGetNameValue(\"item\") & scRequestMessage"
           " & \"@\" & scRequestDestination) %%%% set x scResponse(r) %%%% endmacro %%");
  TemplateFileRefresh();
  EXPECT_EQ(Render("%% scRunMailbox(\"nope\") %%%% scRunMailbox(\"orders\") %%"), "01");
  EXPECT_EQ(Render("%% set c scCreateContainer %%%% c.scAddField(\"item\") %%"
                   "%% c.scSetValue(\"item\", \"tea\") %%"
                   "%% c.scCallWithContainer(\"orders\").scGetNameValue(\"got\") %%|"
                   "%% \"hi\".scCallWithMessage(\"orders\").scGetNameValue(\"got\") %%"),
            "01tea@orders|hi@orders");
  EXPECT_EQ(Render("%% scStopMailbox(\"orders\") %%%% set c scCreateContainer %%"
                   "%% c.scCallWithContainer(\"orders\") %%"),
            "10");
}

}  // namespace
