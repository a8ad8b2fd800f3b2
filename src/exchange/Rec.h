// Rec: change records -- one line of tagged text per change to the
// conference, built by the record writers and routed by RecSendDual to the
// roll-forward log (and, once replication exists, to masters and slaves).
//
// RECORD LINE
//
//   "<" tag, then up to ten attributes each " " name ["=" value], then ">"
//   CR LF.  Values are StToSgml text, in double quotes when HtmlNeedQuotes
//   asks for it (ForumEiValue).  Identifiers and masks are hexadecimal,
//   numbers decimal, dates in ForumEiTdFormat; a flag attribute stands
//   without "=" and value.
//
//   TAG  WRITER                     MEANING
//   r    RecRoot                    a change to the root: "<r " name "=" value ">"
//   f    RecFile, RecForumItem,     a change to an item; first attribute
//        RecFileItemCreate,         "f=" its unique path, for a message the
//        RecForumItemCreate,        discussion's unique path, "/" and the
//        RecFileAcc,                message's index
//        RecAddModerated
//   u    RecUser, RecUserCreate,    a change to a user or group: "<u u=" id;
//        RecGroupCreate             creation "<u create=" id " name=" ...
//   g    RecGroupItemAdd            membership: "<g g=" group " add=" member ">"
//   s    RecSysop                   a sysop setting: "<s " name "=" value ">"
//   save ForumSetSave (Forum.h)     "<save id=" code " unique=" next id ">"
//
// Routing (RecSendDual): a record goes first to the replication routes
// (RecRoutes, below) and then, unless those took it for themselves, to the
// root's log sink.  A record is built only when RootNeedsSend says somebody
// needs it: the root has a log sink, or the routes want records.
//
// Threads: under the run lock, on the thread that makes the change.
#pragma once

#include <cstdint>
#include <memory>
#include <string_view>

#include <string>

#include "Buf.h"
#include "Forum.h"
#include "LgDb.h"
#include "St.h"

namespace quil {

// At most this many attributes in one record.
constexpr int kRecMaxAttributes = 10;

// Replication: the one service that forwards records between servers
// (master, slaves, name server).  Not built yet: no routes are set and
// every record goes to the log only.  When replication arrives it sets its
// routes here (once: a second RecSetRoutes halts "RecSetRoutes--twice").
class RecRoutes {
 public:
  virtual ~RecRoutes() = default;
  // Whether this server is a master, or a slave or name-server client with
  // a live link; a user record is asked about with user true.
  virtual bool Needed(ForumRoot root, bool user) = 0;
  // Routes one record (rules 1 to 4 of routing: to the master link, the
  // name server, the slaves, the name-server clients).  True when the
  // record went to the master link alone and must not reach the log.
  virtual bool Route(ForumRoot root, const St& remoteText, bool user) = 0;
  // A save marker was written at position (-1: no log): a master records
  // the code for its slaves and sends them "<masterSave id=" code ">".
  virtual void MasterSaved(ForumRoot root, const St& code, int64_t position) = 0;
};
void RecSetRoutes(std::unique_ptr<RecRoutes> routes);

// Whether a record is needed (a log sink, or routes that want it).
bool RootNeedsSend(ForumRoot root);
bool RootNeedsUserSend(ForumRoot root);

// One record being built: the tag, then attributes, then Send (or Close,
// which gives the text).  The text is built in a buffer kept for the
// thread (one per nesting level: building a record may make another, as
// when naming a user gives it its identifier), so that a record costs no
// allocation.
class RecBuilder {
 public:
  explicit RecBuilder(std::string_view tag);
  ~RecBuilder();
  RecBuilder(const RecBuilder&) = delete;
  RecBuilder& operator=(const RecBuilder&) = delete;
  // A valued attribute; value is escaped (ForumEiValue) and consumed.  A
  // nil value writes the name alone (which reads back as nil).
  RecBuilder& Attr(std::string_view name, St value);
  RecBuilder& Attr(std::string_view name, std::string_view value);
  RecBuilder& Int(std::string_view name, int64_t value);
  RecBuilder& Hex(std::string_view name, uint32_t value);
  // The unique path of file (RecPathOf), written in place.
  RecBuilder& Path(std::string_view name, const ForumFile& file, int32_t message = -1);
  RecBuilder& Date(std::string_view name, const LgDbTd& value);
  // An attribute without a value.
  RecBuilder& Flag(std::string_view name);
  // Adds ">" CR LF and gives the text.
  St Close();
  // Adds ">" CR LF and routes the record (RecSendDual); 0 or the log's
  // status.
  [[nodiscard]] uint16_t Send(ForumRoot root);

 private:
  void Name(std::string_view name);
  std::string* out_;
  int attributes_ = 0;
};

// Routes one record: to the routes, then to the root's log.  Returns 0 or
// the status of the log write (the change must then not be made).
[[nodiscard]] uint16_t RecSendDual(ForumRoot root, const St& localText, const St& remoteText);
inline uint16_t RecSend(ForumRoot root, const St& text) { return RecSendDual(root, text, text); }

// The unique path records name an item by (".id"; for a message handle
// the discussion's path, "/" and the index).
St RecPathOf(const ForumFile& file);

// The writers of single changes.  value is consumed.  Each returns 0 or the
// log's status; nothing is written (0) when no record is needed.
[[nodiscard]] uint16_t RecRoot(ForumRoot root, std::string_view name, St value);
[[nodiscard]] uint16_t RecFile(const ForumFile& file, std::string_view name, St value);
// A change to message itemNumber (an index) of a discussion; -1: none.
[[nodiscard]] uint16_t RecForumItem(const ForumFile& file, int32_t itemNumber,
                                    std::string_view name, St value);
[[nodiscard]] uint16_t RecUser(ForumRoot root, ChHandle user, std::string_view name, St value);
[[nodiscard]] uint16_t RecSysop(ForumRoot root, std::string_view name, St value);
[[nodiscard]] uint16_t RecGroupItemAdd(ForumRoot root, ChHandle group, ChHandle member);

// The writers of creations and access changes (formats in FrmBk.h).
[[nodiscard]] uint16_t RecFileItemCreate(const ForumFile& folder, const St& type, const St& name,
                                         const St& title, ChHandle author, int32_t unique,
                                         const LgDbTd& date, uint32_t flags);
[[nodiscard]] uint16_t RecForumItemCreate(const ForumFile& discussion, int32_t index,
                                          int32_t unique, ChHandle author, const St& title,
                                          const St& contentType, int32_t replyTo,
                                          const LgDbTd& date, const St& body);
[[nodiscard]] uint16_t RecUserCreate(ForumRoot root, int32_t id, int kind, const St& name,
                                     const St& email, const St& digest);
[[nodiscard]] uint16_t RecGroupCreate(ForumRoot root, int32_t id, const St& name);
// what: "enable" or "inhibit" with a principal and mask; "clearAcc",
// "clearInhibit" or "enable" (the item's own list) without (principal 0).
[[nodiscard]] uint16_t RecFileAcc(const ForumFile& item, std::string_view what,
                                  ChHandle principal, uint32_t mask);

// A queued entry (formats in FrmBk.h): its target, the message it answers
// (-1: none), its position in the queue and its identifier.
[[nodiscard]] uint16_t RecAddModerated(const ForumFile& target, int32_t replyTo, int32_t position,
                                       int type, int32_t unique, ChHandle author, const St& title,
                                       const St& body, bool showAuthor, const St& contentType,
                                       const St& other);

// The principal an access list or group names: a record's identifier in
// hexadecimal, or "1" / "2" for all users / all guests.
St RecPrincipal(ForumRoot root, ChHandle principal);

}  // namespace quil
