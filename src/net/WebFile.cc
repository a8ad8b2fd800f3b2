// The suffix and MIME tables and the file cache of the HTTP server.
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <unordered_map>

#include "Ex.h"
#include "Td.h"
#include "WebInt.h"

namespace quil {

namespace {

struct MimeEntry {
  const char* suffix;
  const char* type;
};

// The MIME table, in its order: earlier entries win, and the duplicates
// ("dcr", and "cgi" and "exe", which the CGI entries of the suffix table
// shadow) stay.
const MimeEntry kMime[] = {
    {"acgi", "text/html"}, {"ai", "application/postscript"}, {"aif", "audio/x-aiff"},
    {"aifc", "audio/x-aiff"}, {"aiff", "audio/x-aiff"}, {"au", "audio/basic"},
    {"avi", "video/x-msvideo"}, {"bas", "text/plain"}, {"bcpio", "application/x-bcpio"},
    {"bin", "application/x-macbinary"}, {"bmp", "image/bmp"}, {"c", "text/plain"},
    {"cab", "application/octet-stream"}, {"cdf", "application/x-netcdf"}, {"cgi", "text/html"},
    {"class", "application/octet-stream"}, {"dcr", "application/x-director"}, {"clp", "application/x-msclip"},
    {"cmx", "image/x-cmx"}, {"cod", "image/cis-cod"}, {"cpio", "application/x-cpio"},
    {"crd", "application/x-mscardfile"}, {"csh", "application/x-csh"}, {"dcr", "application/x-director"},
    {"dir", "application/x-director"}, {"doc", "application/msword"}, {"dot", "application/msword"},
    {"dvi", "application/x-dvi"}, {"dxr", "application/x-director"}, {"eps", "application/postscript"},
    {"etx", "text/x-setext"}, {"evy", "application/envoy"}, {"exe", "application/octet-stream"},
    {"flr", "x-world/x-vrml"}, {"gif", "image/gif"}, {"gtar", "application/x-gtar"},
    {"gz", "application/x-gzip"}, {"h", "text/plain"}, {"hdf", "application/x-hdf"},
    {"hlp", "application/winhlp"}, {"hqx", "application/mac-binhex40"}, {"htm", "text/html"},
    {"html", "text/html"}, {"ief", "image/ief"}, {"jar", "application/octet-stream"},
    {"jpe", "image/jpeg"}, {"jpeg", "image/jpeg"}, {"jpg", "image/jpeg"},
    {"latex", "application/x-latex"}, {"m13", "application/x-msmediaview"}, {"m14", "application/x-msmediaview"},
    {"man", "application/x-troff-man"}, {"mdb", "application/x-msaccess"}, {"me", "application/x-troff-me"},
    {"mny", "application/x-msmoney"}, {"js", "application/x-javascript"}, {"map", "application/x-image-map"},
    {"midi", "audio/x-midi"}, {"mov", "video/quicktime"}, {"movie", "video/x-sgi-movie"},
    {"mpe", "video/mpeg"}, {"mpeg", "video/mpeg"}, {"mpg", "video/mpeg"},
    {"mpl", "application/x-mpire"}, {"mpp", "application/x-msproject"}, {"ms", "application/x-troff-ms"},
    {"nc", "application/x-netcdf"}, {"oda", "application/oda"}, {"pbm", "image/x-portable-bitmap"},
    {"pdf", "application/pdf"}, {"pgm", "image/x-portable-graymap"}, {"pict", "image/pict"},
    {"pma", "application/x-perfmon"}, {"pmc", "application/x-perfmon"}, {"pml", "application/x-perfmon"},
    {"pmr", "application/x-perfmon"}, {"pmw", "application/x-perfmon"}, {"pnm", "image/x-portable-anymap"},
    {"ppm", "image/x-portable-pixmap"}, {"ppt", "application/x-mspowerpoint"}, {"ps", "application/postscript"},
    {"pub", "application/x-mspublisher"}, {"qt", "video/quicktime"}, {"qtc", "video/x-qtc"},
    {"qtvr", "video/quicktime"}, {"quicksend", "application/x-quicksend"}, {"ra", "application/x-pn-realaudio"},
    {"ram", "audio/x-pn-realaudio"}, {"ras", "image/x-cmu-raster"}, {"raw", "application/x-raw-stuff"},
    {"rgb", "image/x-rgb"}, {"roff", "application/x-troff"}, {"rtf", "application/rtf"},
    {"rtx", "text/richtext"}, {"sclass", "application/x-sapplet"}, {"search", "application/x-search"},
    {"servlet", "application/x-servlet"}, {"sh", "application/x-sh"}, {"shar", "application/x-shar"},
    {"sit", "application/x-stuffit"}, {"snd", "audio/basic"}, {"spl", "application/futuresplash"},
    {"src", "application/x-wais-source"}, {"ssi", "application/x-SSI"}, {"stm", "text/html"},
    {"sv4cpio", "application/x-sv4cpio"}, {"sv4crc", "application/x-sv4crc"}, {"swa", "application/x-director"},
    {"swf", "application/x-shockwave-flash"}, {"t", "application/x-troff"}, {"tar", "application/x-tar"},
    {"tcl", "application/x-tcl"}, {"tex", "application/x-tex"}, {"texi", "application/x-texinfo"},
    {"texinfo", "application/x-texinfo"}, {"text", "text/plain"}, {"tif", "image/tiff"},
    {"tiff", "image/tiff"}, {"tr", "application/x-troff"}, {"trm", "application/x-msterminal"},
    {"tsv", "text/tab-separated-values"}, {"txt", "text/plain"}, {"upload", "application/x-upload"},
    {"ustar", "application/x-ustar"}, {"vhost", "text/html"}, {"wav", "audio/x-wav"},
    {"wks", "application/x-msworks"}, {"wmf", "application/x-msmetafile"}, {"wo", "text/html"},
    {"word", "application/msword"}, {"wri", "application/x-mswrite"}, {"wrl", "x-world/x-vrml"},
    {"wrz", "x-world/x-vrml"}, {"xaf", "x-world/x-vrml"}, {"xbm", "image/x-xbitmap"},
    {"xl", "application/excel"}, {"xla", "application/x-msexcel"}, {"xlc", "application/x-msexcel"},
    {"xlm", "application/x-msexcel"}, {"xls", "application/x-msexcel"}, {"xlt", "application/x-msexcel"},
    {"xlw", "application/x-msexcel"}, {"xof", "x-world/x-vrml"}, {"xpm", "image/x-xpixmap"},
    {"xwd", "image/x-xwindowdump"}, {"zip", "application/zip"},
};
constexpr int kMimeCount = int(sizeof kMime / sizeof kMime[0]);
static_assert(kMimeCount == 146, "the MIME table has 146 entries");

std::unordered_map<std::string, std::unique_ptr<ServeFile>>& Cache() {
  static std::unordered_map<std::string, std::unique_ptr<ServeFile>> cache;
  return cache;
}

// "Last-Modified: Sun, 06 Nov 1994 08:49:37 GMT\r\n" (the HTTP date).
St LastModifiedLine(int64_t seconds) {
  St date = TdToSt(TdFromSeconds(seconds, true), "Www, D2 Mmm Y4 H4:I2:S2 G$MT");
  return StFromView("Last-Modified: " + date.Str() + "\r\n");
}

// Reads a regular file whole; false when it is missing, not a regular
// file, too large, or cannot be read.
bool LoadFile(ServeFile& f) {
  int fd = open(f.path.CStr(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  struct stat st;
  bool ok = fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size <= kWebMaxCachedFile;
  if (ok) {
    f.size = st.st_size;
    St data = StAlloc(int32_t(f.size));
    char* p = data.MutableChars();
    int64_t got = 0;
    while (ok && got < f.size) {
      ssize_t n = read(fd, p + got, size_t(f.size - got));
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) ok = false;
      else got += n;
    }
    if (ok) {
      f.contents = std::move(data);
      f.lastModified = LastModifiedLine(st.st_mtime);
    }
  }
  close(fd);
  return ok;
}

}  // namespace

WebSuffix WebSuffixLookup(std::string_view suffix) {
  if (suffix == "tpl") return {2, "text/html"};
  if (suffix == "exe" || suffix == "cgi") return {3, "text/html"};
  for (const MimeEntry& m : kMime)
    if (suffix == m.suffix) return {1, m.type};
  return {1, "text/html"};
}

int WebMimeTableSize() { return kMimeCount; }

namespace {

// Names of the document directory with a content type of their own (few:
// the built-in pages' stylesheet and pictures).
std::unordered_map<std::string, std::string>& FileTypes() {
  static std::unordered_map<std::string, std::string> types;
  return types;
}

}  // namespace

void WebAddFileContentType(std::string_view name, std::string_view contentType) {
  FileTypes()[std::string(name)] = std::string(contentType);
}

void WebClearFileContentTypes() { FileTypes().clear(); }

const char* WebFileContentType(std::string_view name) {
  auto& types = FileTypes();
  auto it = types.find(std::string(name));
  return it == types.end() ? nullptr : it->second.c_str();
}

ServeFile* ServeFileOpen(const St& path) {
  auto& cache = Cache();
  std::string key = path.Str();
  auto it = cache.find(key);
  if (it != cache.end()) {
    if (it->second->loaded) {
      ++it->second->uses;
      return it->second.get();
    }
    cache.erase(it);
  }
  auto f = std::make_unique<ServeFile>();
  f->path = path;
  if (!LoadFile(*f)) return nullptr;  // failures are not kept
  f->loaded = true;
  f->uses = 1;
  ServeFile* raw = f.get();
  cache.emplace(std::move(key), std::move(f));
  return raw;
}

bool ServeFileExists(const ServeFile* f) { return f != nullptr && f->loaded; }

const St& ServeFileGetData(const ServeFile* f) { return f->contents; }

St ServeFileHeader(ServeFile* f, const St& releaseText, const char* contentType,
                   int64_t length) {
  if (length == f->size && f->headerType == contentType && !f->header.IsNil()) return f->header;
  St header = WebFileHeader(releaseText, f->lastModified, contentType, length);
  if (length == f->size) {
    f->header = header;
    f->headerType = contentType;
  }
  return header;
}

void ServeFileClose(ServeFile*) {}

void ResetFileCache() { Cache().clear(); }

int32_t ServeFileCacheCount() { return int32_t(Cache().size()); }

}  // namespace quil
