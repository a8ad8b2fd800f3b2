// Structured containers: records of named, typed fields that templates
// build, read, turn into text and back, and hand to mailboxes.
//
// A container has a name, properties (name and value), flags and an ordered
// list of fields; a field has a name, a type ("string", "integer",
// "container", or any other word), properties, and rows of values, each
// with an edit flag.  A row of a "container" field holds the identifier of
// another container.  Containers belong to the rendering that made them and
// are numbered from 1 (0 is none); the receiver of the .sc... methods is a
// container's number, and a field is named by its number (from 0) or its
// name.  Lists of names are given one per line.
//
// Mailboxes: scRunMailbox(NAME) starts a mailbox whose handler is the
// site-file macro NAME (only when the macro exists); sending a container or
// a message to a running mailbox renders its macro at once, with
// scRequestContainer, scRequestMessage, scRequestId and
// scRequestDestination describing the request; the handler answers by
// giving scResponse a container, which the call gives back.
//
// Text form (.scContainerToBuffer, .scBufferToContainer, .saveContainer):
// lines of a tag, blank-separated URL-quoted words:
//   "Sc1" name flags            a container begins
//   "P" name value              a container property
//   "F" name type               a field begins
//   "p" name value              a property of that field
//   "R" value editflag          a row of that field (a nested container's
//                               row holds its text form, quoted)
//   "."                         the container ends
//
// Limits: 1,000 containers a rendering, 1,000 fields a container, 10,000
// rows a field, nesting of 8 in the text form.
#include <map>

#include "Ht.h"
#include "Td.h"
#include "TemplateInt.h"

namespace quil {

namespace {

constexpr size_t kMaxContainers = 1000;
constexpr size_t kMaxFields = 1000;
constexpr size_t kMaxRows = 10000;
constexpr int kMaxDepth = 8;

using Props = std::vector<std::pair<St, St>>;

struct ScField {
  St name;
  St type;
  Props props;
  std::vector<St> rows;
  std::vector<uint8_t> edit;
};

struct ScContainer {
  St name;
  int32_t flags = 0;
  Props props;
  std::vector<ScField> fields;
};

struct ScState : ExprContextExt {
  std::map<int32_t, ScContainer> containers;
  int32_t next = 1;
  St error;
  int32_t requestContainer = 0;
  St requestMessage;
  St destination;
  int32_t requestId = 0;
  int32_t nextRequestId = 1;
  int32_t response = 0;
  bool realTime = false;
  bool timeOut = false;
  int64_t start = TdMillisecondsNow();
  int64_t requestStart = 0;
};

ScState& State(ExprContext& ctx) {
  auto* s = static_cast<ScState*>(ctx.FamilyState(kFamilyContainers));
  if (!s) {
    auto made = std::make_unique<ScState>();
    s = made.get();
    ctx.SetFamilyState(kFamilyContainers, std::move(made));
  }
  return *s;
}

void Error(ScState& s, std::string_view text) {
  s.error = StFromView(text);
  if (s.realTime) Wf_log_write("Container: %s", s.error.CStr());
}

int32_t New(ScState& s, St name) {
  if (s.containers.size() >= kMaxContainers) {
    Error(s, "Too many containers");
    return 0;
  }
  int32_t id = s.next++;
  s.containers[id].name = std::move(name);
  return id;
}

ScContainer* Find(ScState& s, int32_t id) {
  auto it = s.containers.find(id);
  return it == s.containers.end() ? nullptr : &it->second;
}

ScContainer* Receiver(ExprCall& c, ScState& s) {
  ScContainer* k = Find(s, c.ReceiverInt());
  if (!k) Error(s, "No such container");
  return k;
}

St GetProp(const Props& props, const St& name) {
  for (const auto& [n, v] : props)
    if (n == name) return v;
  return St();
}

void SetProp(Props& props, St name, St value) {
  for (auto& [n, v] : props)
    if (n == name) {
      v = std::move(value);
      return;
    }
  if (props.size() < kMaxFields) props.emplace_back(std::move(name), std::move(value));
}

St Names(const Props& props) {
  St out = StCreate();
  for (size_t i = 0; i < props.size(); ++i) {
    if (i) out = StAppend(std::move(out), '\n');
    out = StAppendView(std::move(out), props[i].first.View());
  }
  return out;
}

// The field an argument names: a number is an index, other text a name.
int FieldIndex(const ScContainer& k, ExprCall& c, int arg) {
  St v = c.ArgSt(arg);
  int32_t n;
  if (StIntStXfm(v, &n)) return n >= 0 && size_t(n) < k.fields.size() ? n : -1;
  for (size_t i = 0; i < k.fields.size(); ++i)
    if (k.fields[i].name == v) return int(i);
  return -1;
}

ScField* FieldArg(ExprCall& c, ScState& s, ScContainer& k, int arg) {
  int i = FieldIndex(k, c, arg);
  if (i < 0) {
    Error(s, "No such field: " + c.ArgSt(arg).Str());
    return nullptr;
  }
  return &k.fields[size_t(i)];
}

// ---------------------------------------------------------------------------
// Text form.

void Word(St* out, const St& v) {
  *out = StAppend(std::move(*out), ' ');
  *out = StCat(std::move(*out), v.Empty() ? StCStrXfm("%") : StToUrlQuote(v));
}

St Unword(std::string_view w) {
  if (w == "%") return StCreate();
  return StFromUrlQuote(StFromView(w));
}

void ToText(ScState& s, const ScContainer& k, int depth, St* out) {
  *out = StAppendView(std::move(*out), "Sc1");
  Word(out, k.name);
  Word(out, StStIntXfm(k.flags));
  *out = StAppend(std::move(*out), '\n');
  for (const auto& [n, v] : k.props) {
    *out = StAppend(std::move(*out), 'P');
    Word(out, n);
    Word(out, v);
    *out = StAppend(std::move(*out), '\n');
  }
  for (const ScField& f : k.fields) {
    *out = StAppend(std::move(*out), 'F');
    Word(out, f.name);
    Word(out, f.type);
    *out = StAppend(std::move(*out), '\n');
    for (const auto& [n, v] : f.props) {
      *out = StAppend(std::move(*out), 'p');
      Word(out, n);
      Word(out, v);
      *out = StAppend(std::move(*out), '\n');
    }
    bool nested = f.type.View() == "container";
    for (size_t r = 0; r < f.rows.size(); ++r) {
      *out = StAppend(std::move(*out), 'R');
      St value = f.rows[r];
      int32_t id;
      if (nested && depth < kMaxDepth && StIntStXfm(value, &id))
        if (const ScContainer* inner = Find(s, id)) {
          value = StCreate();
          ToText(s, *inner, depth + 1, &value);
        }
      Word(out, value);
      Word(out, StStIntXfm(f.edit[r]));
      *out = StAppend(std::move(*out), '\n');
    }
  }
  *out = StAppendView(std::move(*out), ".\n");
}

// Reads one container from text at *pos; its number, or 0.
int32_t FromText(ScState& s, std::string_view text, size_t* pos, int depth) {
  int32_t id = 0;
  ScContainer* k = nullptr;
  ScField* field = nullptr;
  while (*pos < text.size()) {
    size_t eol = text.find('\n', *pos);
    if (eol == std::string_view::npos) eol = text.size();
    std::string_view line = text.substr(*pos, eol - *pos);
    *pos = eol + 1;
    std::vector<std::string_view> w;
    while (!line.empty() && w.size() < 4) {
      size_t sp = line.find(' ');
      w.push_back(line.substr(0, sp));
      line.remove_prefix(sp == std::string_view::npos ? line.size() : sp + 1);
    }
    if (w.empty()) continue;
    if (!k) {
      if (w[0] != "Sc1" || w.size() < 2) return 0;
      id = New(s, Unword(w[1]));
      k = Find(s, id);
      if (!k) return 0;
      int32_t flags;
      if (w.size() > 2 && StIntStXfm(Unword(w[2]), &flags)) k->flags = flags;
      continue;
    }
    if (w[0] == ".") return id;
    if (w[0] == "P" && w.size() >= 3) {
      SetProp(k->props, Unword(w[1]), Unword(w[2]));
    } else if (w[0] == "F" && w.size() >= 3 && k->fields.size() < kMaxFields) {
      k->fields.push_back(ScField{Unword(w[1]), Unword(w[2]), {}, {}, {}});
      field = &k->fields.back();
    } else if (w[0] == "p" && w.size() >= 3 && field) {
      SetProp(field->props, Unword(w[1]), Unword(w[2]));
    } else if (w[0] == "R" && w.size() >= 2 && field &&
               field->rows.size() < kMaxRows) {
      St value = Unword(w[1]);
      if (field->type.View() == "container" && depth < kMaxDepth &&
          value.View().starts_with("Sc1")) {
        size_t inner = 0;
        int32_t nested = FromText(s, value.View(), &inner, depth + 1);
        value = StStIntXfm(nested);
        k = Find(s, id);  // the map may not move, but stay safe
        if (!k) return 0;
        field = &k->fields.back();
      }
      int32_t flag = 0;
      if (w.size() > 2) StIntStXfm(Unword(w[2]), &flag);
      field->rows.push_back(std::move(value));
      field->edit.push_back(uint8_t(flag != 0));
    }
  }
  return id;
}

// ---------------------------------------------------------------------------
// Keywords.

void KwScGetError(ExprCall& c) { c.Return(State(c.Context()).error); }

void KwScCreate(ExprCall& c) {
  ScState& s = State(c.Context());
  c.Return(New(s, c.Written(0) ? c.ArgSt(0) : StCreate()));
}

void KwScGetContainer(ExprCall& c) {
  ScState& s = State(c.Context());
  int32_t id = c.ArgInt(0);
  c.Return(Find(s, id) ? id : 0);
}

bool MailboxRunning(const TemplateSite& site, const St& name) {
  for (const St& m : site.mailboxes)
    if (ExprEqualNoCase(m.View(), name.View())) return true;
  return false;
}

TemplateSite& SiteOf(ExprContext& ctx) {
  return ctx.site ? *ctx.site : TemplateCurrentSite();
}

void KwScRunMailbox(ExprCall& c) {
  TemplateSite& site = SiteOf(c.Context());
  St name = c.ArgSt(0);
  TemplateRef macro;
  if (!TemplateFileLookup(site, name, ForumFile(), &macro)) return c.Return(0);
  if (!MailboxRunning(site, name) && site.mailboxes.size() < 256)
    site.mailboxes.push_back(name);
  c.Return(1);
}

void KwScStopMailbox(ExprCall& c) {
  TemplateSite& site = SiteOf(c.Context());
  St name = c.ArgSt(0);
  for (size_t i = 0; i < site.mailboxes.size(); ++i)
    if (ExprEqualNoCase(site.mailboxes[i].View(), name.View())) {
      site.mailboxes.erase(site.mailboxes.begin() + long(i));
      return c.Return(1);
    }
  c.Return(0);
}

// Renders the mailbox's macro for one request; the response container's
// number (0 when the handler gave none or the mailbox is not running).
int32_t Deliver(ExprContext& ctx, const St& mailbox, int32_t container,
                const St& message) {
  ScState& s = State(ctx);
  TemplateSite& site = SiteOf(ctx);
  TemplateRef macro;
  if (!MailboxRunning(site, mailbox) ||
      !TemplateFileLookup(site, mailbox, ForumFile(), &macro)) {
    Error(s, "Mailbox not running: " + mailbox.Str());
    return 0;
  }
  struct Saved {
    ScState& s;
    int32_t container, id, response;
    St message, destination;
    int64_t start;
    ~Saved() {
      s.requestContainer = container;
      s.requestId = id;
      s.response = response;
      s.requestMessage = std::move(message);
      s.destination = std::move(destination);
      s.requestStart = start;
    }
  } saved{s, s.requestContainer, s.requestId, s.response, s.requestMessage,
          s.destination, s.requestStart};
  s.requestContainer = container;
  s.requestId = s.nextRequestId++;
  s.response = 0;
  s.requestMessage = message;
  s.destination = mailbox;
  s.requestStart = TdMillisecondsNow();
  TemplateRenderFragment(ctx, macro, "Mailbox calls nested too deeply");
  return s.response;
}

enum SendSel { kCallContainer, kCallMessage, kSendContainer, kSendMessage,
               kBroadcastContainer, kBroadcastMessage };

void KwScSend(ExprCall& c) {
  ExprContext& ctx = c.Context();
  ScState& s = State(ctx);
  int sel = c.Selector();
  bool message = sel == kCallMessage || sel == kSendMessage || sel == kBroadcastMessage;
  int32_t container = 0;
  St text;
  if (message) {
    text = c.ReceiverSt();
  } else {
    container = c.ReceiverInt();
    if (!Find(s, container)) return Error(s, "No such container"), c.Return(0);
  }
  if (sel == kBroadcastContainer || sel == kBroadcastMessage) {
    std::vector<St> boxes = SiteOf(ctx).mailboxes;
    for (const St& box : boxes) Deliver(ctx, box, container, text);
    return c.Return(int32_t(boxes.size()));
  }
  int32_t response = Deliver(ctx, c.ArgSt(0), container, text);
  if (sel == kSendContainer || sel == kSendMessage) return c.Return(1);
  c.Return(response);
}

void KwScRequest(ExprCall& c) {
  ScState& s = State(c.Context());
  switch (c.Selector()) {
    case 0: return c.Return(s.requestContainer);       // scRequest
    case 1: return c.Return(s.requestId);
    case 2: return c.Return(s.requestMessage);
    case 3: return c.Return(s.requestContainer);       // scRequestContainer
    default: return c.Return(s.destination);
  }
}

void KwScResponse(ExprCall& c) {
  ScState& s = State(c.Context());
  if (c.Written(0)) s.response = Find(s, c.ArgInt(0)) ? c.ArgInt(0) : 0;
  c.Return(s.response);
}

void KwScFormToContainer(ExprCall& c) {
  ExprContext& ctx = c.Context();
  ScState& s = State(ctx);
  int32_t id = New(s, StCStrXfm("form"));
  ScContainer* k = Find(s, id);
  if (!k) return c.Return(0);
  if (ctx.request) {
    std::vector<St> names;
    ctx.request->FormNames(&names);
    for (const St& n : names) {
      if (k->fields.size() >= kMaxFields) break;
      bool seen = false;
      for (const ScField& f : k->fields) seen = seen || f.name == n;
      if (seen) continue;
      ScField f{n, StCStrXfm("string"), {}, {}, {}};
      ctx.request->AllValues(n.View(), &f.rows);
      f.edit.assign(f.rows.size(), 0);
      k->fields.push_back(std::move(f));
    }
  }
  c.Return(id);
}

void KwScFlag(ExprCall& c) {
  ScState& s = State(c.Context());
  bool& flag = c.Selector() == 0 ? s.realTime : s.timeOut;
  if (c.Written(0)) flag = c.ArgTruth(0);
  c.ReturnBool(flag);
}

void KwLogElapsed(ExprCall& c) {
  ScState& s = State(c.Context());
  int64_t since = c.Selector() == 0 || s.requestStart == 0 ? s.start : s.requestStart;
  int64_t ms = TdMillisecondsNow() - since;
  St text = c.Written(0) ? c.ArgSt(0) : StCreate();
  Wf_log_write("%s elapsed=%lld ms", text.CStr(), static_cast<long long>(ms));
  c.Return(int32_t(ms > INT32_MAX ? INT32_MAX : ms));
}

enum ContSel { kDestroy, kClone, kEnumProps, kGetProp, kSetProp, kSize,
               kToBuffer, kUpdate, kClear, kSetFlags, kSave, kFieldCount,
               kEnumFields, kFindField, kAddField };

void KwScContainer(ExprCall& c) {
  ExprContext& ctx = c.Context();
  ScState& s = State(ctx);
  ScContainer* k = Receiver(c, s);
  if (!k) return;
  int32_t id = c.ReceiverInt();
  switch (c.Selector()) {
    case kDestroy:
      s.containers.erase(id);
      return c.Return(1);
    case kClone: {
      if (s.containers.size() >= kMaxContainers)
        return Error(s, "Too many containers"), c.Return(0);
      int32_t copy = s.next++;
      ScContainer dup = *k;
      s.containers[copy] = std::move(dup);
      return c.Return(copy);
    }
    case kEnumProps: return c.Return(Names(k->props));
    case kGetProp: return c.Return(GetProp(k->props, c.ArgSt(0)));
    case kSetProp:
      SetProp(k->props, c.ArgSt(0), c.ArgSt(1));
      return c.Return(1);
    case kSize:
    case kToBuffer: {
      St out = StCreate();
      ToText(s, *k, 0, &out);
      if (c.Selector() == kSize) return c.Return(out.Length());
      return c.Return(std::move(out));
    }
    case kUpdate: {
      ScContainer* other = Find(s, c.ArgInt(0));
      if (!other) return Error(s, "No such container"), c.Return(0);
      int32_t n = 0;
      for (ScField& f : k->fields)
        for (const ScField& g : other->fields)
          if (f.name == g.name && &f != &g) {
            f.rows = g.rows;
            f.edit = g.edit;
            ++n;
            break;
          }
      return c.Return(n);
    }
    case kClear:
      k->fields.clear();
      k->props.clear();
      return c.Return(1);
    case kSetFlags:
      k->flags = c.ArgInt(0);
      return c.Return(1);
    case kSave: {
      std::string full;
      if (!TemplateSiteFilePath(SiteOf(ctx), c.ArgSt(0).View(), &full))
        return Error(s, "File name refused"), c.Return(0);
      St text = StCreate();
      ToText(s, *k, 0, &text);
      FILE* f = fopen(full.c_str(), "wb");
      if (!f) return Error(s, "Cannot write " + full), c.Return(0);
      bool ok = fwrite(text.CStr(), 1, size_t(text.Length()), f) ==
                size_t(text.Length());
      ok = fclose(f) == 0 && ok;
      return c.ReturnBool(ok);
    }
    case kFieldCount: return c.Return(int32_t(k->fields.size()));
    case kEnumFields: {
      St out = StCreate();
      for (size_t i = 0; i < k->fields.size(); ++i) {
        if (i) out = StAppend(std::move(out), '\n');
        out = StAppendView(std::move(out), k->fields[i].name.View());
      }
      return c.Return(std::move(out));
    }
    case kFindField: return c.Return(FieldIndex(*k, c, 0));
    case kAddField: {
      St name = c.ArgSt(0);
      if (name.Empty() || k->fields.size() >= kMaxFields)
        return Error(s, "Cannot add field"), c.Return(-1);
      for (size_t i = 0; i < k->fields.size(); ++i)
        if (k->fields[i].name == name) return c.Return(int32_t(i));
      St type = c.Written(1) ? c.ArgSt(1) : StCStrXfm("string");
      k->fields.push_back(ScField{std::move(name), std::move(type), {}, {}, {}});
      return c.Return(int32_t(k->fields.size() - 1));
    }
  }
}

// Text or buffer to a new container.
void KwScFromText(ExprCall& c) {
  ScState& s = State(c.Context());
  St text = c.ReceiverSt();
  if (c.Selector() == 0) {  // .scBufferToContainer
    size_t pos = 0;
    int32_t id = FromText(s, text.View(), &pos, 0);
    if (!id) Error(s, "Not a container");
    return c.Return(id);
  }
  // .scTextToContainer: "name=value" lines (or "&"-separated pairs).
  int32_t id = New(s, StCreate());
  ScContainer* k = Find(s, id);
  if (!k) return c.Return(0);
  std::string_view v = text.View();
  while (!v.empty() && k->fields.size() < kMaxFields) {
    size_t end = v.find_first_of("\r\n&");
    std::string_view pair = v.substr(0, end);
    v.remove_prefix(end == std::string_view::npos ? v.size() : end + 1);
    size_t eq = pair.find('=');
    if (eq == std::string_view::npos || eq == 0) continue;
    k->fields.push_back(ScField{StFromView(pair.substr(0, eq)),
                                StCStrXfm("string"),
                                {},
                                {StFromView(pair.substr(eq + 1))},
                                {0}});
  }
  c.Return(id);
}

enum FieldSel { kDeleteField, kFieldType, kFieldName, kFieldContainer,
                kEnumFieldProps, kGetFieldProp, kSetFieldProp, kAddRows,
                kDeleteRows, kRowCount, kGetValue, kGetEdit, kSetValue,
                kSetEdit, kNameValue, kNameError };

void KwScField(ExprCall& c) {
  ScState& s = State(c.Context());
  ScContainer* k = Receiver(c, s);
  if (!k) return;
  int sel = c.Selector();
  if (sel == kFieldName) {
    int32_t i = c.ArgInt(0);
    return c.Return(i >= 0 && size_t(i) < k->fields.size() ? k->fields[size_t(i)].name
                                                           : StCreate());
  }
  ScField* f = FieldArg(c, s, *k, 0);
  if (!f) return;
  auto row = [&](int arg) -> int32_t {
    int32_t r = c.Written(arg) ? c.ArgInt(arg) : 0;
    return r >= 0 && size_t(r) < f->rows.size() ? r : -1;
  };
  switch (sel) {
    case kDeleteField:
      k->fields.erase(k->fields.begin() + (f - k->fields.data()));
      return c.Return(1);
    case kFieldType: return c.Return(f->type);
    case kFieldContainer: {
      int32_t r = row(1), id;
      if (r < 0 || !StIntStXfm(f->rows[size_t(r)], &id) || !Find(s, id)) return c.Return(0);
      return c.Return(id);
    }
    case kEnumFieldProps: return c.Return(Names(f->props));
    case kGetFieldProp: return c.Return(GetProp(f->props, c.ArgSt(1)));
    case kSetFieldProp:
      SetProp(f->props, c.ArgSt(1), c.ArgSt(2));
      return c.Return(1);
    case kAddRows: {
      int32_t n = c.Written(1) ? c.ArgInt(1) : 1;
      if (n < 0 || f->rows.size() + size_t(n) > kMaxRows)
        return Error(s, "Too many rows"), c.Return(0);
      f->rows.resize(f->rows.size() + size_t(n), StCreate());
      f->edit.resize(f->rows.size(), 0);
      return c.Return(int32_t(f->rows.size()));
    }
    case kDeleteRows: {
      int32_t r = row(1);
      int32_t n = c.Written(2) ? c.ArgInt(2) : 1;
      if (r < 0 || n <= 0) return c.Return(0);
      size_t to = std::min(f->rows.size(), size_t(r) + size_t(n));
      f->rows.erase(f->rows.begin() + r, f->rows.begin() + long(to));
      f->edit.erase(f->edit.begin() + r, f->edit.begin() + long(to));
      return c.Return(int32_t(f->rows.size()));
    }
    case kRowCount: return c.Return(int32_t(f->rows.size()));
    case kGetValue: {
      int32_t r = row(1);
      return c.Return(r < 0 ? StCreate() : f->rows[size_t(r)]);
    }
    case kGetEdit: {
      int32_t r = row(1);
      return c.ReturnBool(r >= 0 && f->edit[size_t(r)]);
    }
    case kSetValue: {
      // .scSetValue(field, value, row): a row one past the end is added.
      int32_t r = c.Written(2) ? c.ArgInt(2) : 0;
      if (r < 0 || size_t(r) > f->rows.size() || size_t(r) >= kMaxRows)
        return Error(s, "No such row"), c.Return(0);
      if (size_t(r) == f->rows.size()) {
        f->rows.push_back(StCreate());
        f->edit.push_back(0);
      }
      f->rows[size_t(r)] = c.ArgSt(1);
      return c.Return(1);
    }
    case kSetEdit: {
      int32_t r = row(1);
      if (r < 0) return c.Return(0);
      f->edit[size_t(r)] = c.ArgTruth(2);
      return c.Return(1);
    }
    case kNameValue: return c.Return(f->rows.empty() ? StCreate() : f->rows[0]);
    default: return c.Return(GetProp(f->props, StCStrXfm("error")));
  }
}

constexpr KwEntry kContainerEntries[] = {
    {"scGetError", KwScGetError, 0},
    {"scCreateContainer", KwScCreate, 0},
    {"scGetContainer", KwScGetContainer, 0},
    {"scRunMailbox", KwScRunMailbox, 0},
    {"scStopMailbox", KwScStopMailbox, 0},
    {"scRequest", KwScRequest, 0},
    {"scRequestId", KwScRequest, 1},
    {"scRequestMessage", KwScRequest, 2},
    {"scRequestContainer", KwScRequest, 3},
    {"scRequestDestination", KwScRequest, 4},
    {"scResponse", KwScResponse, 0},
    {"scFormToContainer", KwScFormToContainer, 0},
    {"scRealTimeLogging", KwScFlag, 0},
    {"scTimeOutFlag", KwScFlag, 1},
    {"logElapsedTime", KwLogElapsed, 0},
    {"logElapsedReplyTime", KwLogElapsed, 1},
    {".scDestroyContainer", KwScContainer, kDestroy},
    {".scCloneContainer", KwScContainer, kClone},
    {".scEnumContainerProps", KwScContainer, kEnumProps},
    {".scGetContainerProp", KwScContainer, kGetProp},
    {".scSetContainerProp", KwScContainer, kSetProp},
    {".scGetContainerSize", KwScContainer, kSize},
    {".scContainerToBuffer", KwScContainer, kToBuffer},
    {".scUpdateCorresponding", KwScContainer, kUpdate},
    {".scClearContainer", KwScContainer, kClear},
    {".scSetContainerFlags", KwScContainer, kSetFlags},
    {".saveContainer", KwScContainer, kSave},
    {".scGetFieldCount", KwScContainer, kFieldCount},
    {".scEnumFields", KwScContainer, kEnumFields},
    {".scFindFieldByName", KwScContainer, kFindField},
    {".scAddField", KwScContainer, kAddField},
    {".scBufferToContainer", KwScFromText, 0},
    {".scTextToContainer", KwScFromText, 1},
    {".scCallWithContainer", KwScSend, kCallContainer},
    {".scCallWithMessage", KwScSend, kCallMessage},
    {".scSendContainer", KwScSend, kSendContainer},
    {".scSendMessage", KwScSend, kSendMessage},
    {".scBroadcastContainer", KwScSend, kBroadcastContainer},
    {".scBroadcastMessage", KwScSend, kBroadcastMessage},
    {".scDeleteField", KwScField, kDeleteField},
    {".scGetFieldType", KwScField, kFieldType},
    {".scGetFieldName", KwScField, kFieldName},
    {".scGetFieldContainer", KwScField, kFieldContainer},
    {".scEnumFieldProps", KwScField, kEnumFieldProps},
    {".scGetFieldProp", KwScField, kGetFieldProp},
    {".scSetFieldProp", KwScField, kSetFieldProp},
    {".scAddRows", KwScField, kAddRows},
    {".scDeleteRows", KwScField, kDeleteRows},
    {".scGetRowCount", KwScField, kRowCount},
    {".scGetValue", KwScField, kGetValue},
    {".scGetEditFlag", KwScField, kGetEdit},
    {".scSetValue", KwScField, kSetValue},
    {".scSetEditFlag", KwScField, kSetEdit},
    {".scGetNameValue", KwScField, kNameValue},
    {".scGetNameError", KwScField, kNameError},
};

}  // namespace

void ExprInstallContainerBuiltins() { KwInstall(kContainerEntries); }

}  // namespace quil
