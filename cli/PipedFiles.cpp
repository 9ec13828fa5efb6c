#include "PipedFiles.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "BatchDriver.h"
#include "SysUtils.h"

namespace fs = std::filesystem;

namespace {

// Name of the spooled input: its extension picks the reader, none leaves it to the content.
std::string InputName(const std::optional<std::string>& format) {
  std::string ext = format ? Trim(*format) : std::string();
  if (!ext.empty() && ext[0] == '.') ext.erase(0, 1);
  for (char c : ext)
    if (!std::isalnum(static_cast<unsigned char>(c))) throw EUsageError("--input-format \"" + *format + "\" is no file extension (xlsx, xls, ods, wk1, qpw, ...)");
  return ext.empty() ? "standard-input" : "standard-input." + ext;
}

// Where a chain of links ends, dangling or not (weakly_canonical stops at a
// dangling link).
fs::path LinkTarget(fs::path path) {
  std::error_code ec;
  for (int hops = 0; fs::is_symlink(fs::symlink_status(path, ec)); ++hops) {
    if (hops == 40) throw Exception(path.string() + ": too many levels of symbolic links");
    const fs::path next = fs::read_symlink(path, ec);
    if (ec) throw Exception(path.string() + ": " + ec.message());
    path = next.is_absolute() ? next : path.parent_path() / next;
  }
  const fs::path full = fs::weakly_canonical(fs::absolute(path, ec), ec);
  return ec ? path : full;
}

// Every byte to fd, or the system's reason.
std::string WriteAll(int fd, const char* data, size_t size) {
  while (size > 0) {
    const ssize_t n = ::write(fd, data, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return std::strerror(errno);
    data += n;
    size -= size_t(n);
  }
  return {};
}

}  // namespace

std::string TPipedFiles::Folder() {
  if (FFolder.empty()) {
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/varnowe-XXXXXX";
    if (!::mkdtemp(pattern.data())) throw Exception("cannot make a temporary folder: " + std::string(std::strerror(errno)));
    FFolder = pattern;
  }
  return FFolder;
}

std::string TPipedFiles::Spool(const std::optional<std::string>& format) {
  const std::string spooled = Folder() + "/" + InputName(format);
  std::ofstream f(spooled, std::ios::binary);
  char buffer[1 << 16];
  for (;;) {
    const ssize_t n = ::read(STDIN_FILENO, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) throw Exception("cannot read standard input: " + std::string(std::strerror(errno)));
    if (n == 0) break;
    f.write(buffer, n);
  }
  if (!f.flush()) throw Exception("cannot keep standard input in " + FFolder + ": no room");
  return spooled;
}

TPipedFiles::TPipedFiles(TBatchOptions& o) {
  const bool stdinInput = std::count(o.Inputs.begin(), o.Inputs.end(), std::string("-")) > 0 || o.Source == "-";
  const bool stdinDump = o.Dump == "-";
  if (o.InputFormat && !stdinInput && !stdinDump)
    throw EUsageError("--input-format names the format of standard input (\"-\")");
  if (stdinDump) o.Dump = Spool(o.InputFormat);
  if (stdinInput) {
    if (o.Inputs.size() + o.Source.has_value() != 1)
      throw EUsageError("standard input (\"-\") is converted alone: name no other file or directory");
    o.Inputs.assign(1, Spool(o.InputFormat));
    o.Source.reset();
    // Without -o the sheet goes where the data came from: to standard output.
    if (!o.Output && !o.Dest) o.Output = "-";
  }
  if (!o.Output) return;
  struct stat st;
  if (*o.Output == "-") {
    if (!o.Format) throw EUsageError("-o - needs the format: give -f (csv, txt, htm, xml, xls, xlsx, pdf)");
    FToStdout = true;
    o.Output = Folder() + "/standard-output";
  } else if (::lstat(o.Output->c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
    // The link stays; its target gets the output, put in place in the target's folder.
    const fs::path target = LinkTarget(*o.Output);
    if (::stat(target.c_str(), &st) == 0 && !S_ISREG(st.st_mode) && !S_ISDIR(st.st_mode)) {
      FNode = target.string();
      o.Output = Folder() + "/" + fs::path(*o.Output).filename().string();
    } else {
      o.Output = target.string();
    }
  } else if (::stat(o.Output->c_str(), &st) == 0 && !S_ISREG(st.st_mode) && !S_ISDIR(st.st_mode)) {
    // A FIFO or a device: written through once the output is complete.
    FNode = *o.Output;
    o.Output = Folder() + "/" + fs::path(*o.Output).filename().string();
  }
}

TPipedFiles::~TPipedFiles() {
  if (FFolder.empty()) return;
  std::error_code ec;
  fs::remove_all(FFolder, ec);
}

std::string TPipedFiles::Deliver(const TWorkItem& item, std::ostream& out, std::ostream& verbose) const {
  if (!FToStdout && FNode.empty()) return {};
  if (item.Status != TItemState::Finished || item.Outputs.empty()) return {};
  if (item.Outputs.size() > 1)
    return Format("%zu sheets were written and %s takes one: choose it with --sheets first or --sheet-mask",
                  item.Outputs.size(), FToStdout ? "standard output" : FNode.c_str());
  std::ifstream in(item.Outputs[0], std::ios::binary);
  if (FToStdout) {
    out << in.rdbuf();
    out.flush();
    return out ? std::string() : std::string("cannot write standard output");
  }
  verbose << "writing through " << PrintableText(FNode) << ", which is no regular file (not atomically)\n";
  const int fd = ::open(FNode.c_str(), O_WRONLY | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) return FNode + ": " + std::strerror(errno);
  std::string problem;
  char buffer[1 << 16];
  while (problem.empty() && in.read(buffer, sizeof buffer).gcount() > 0) problem = WriteAll(fd, buffer, size_t(in.gcount()));
  ::close(fd);
  return problem.empty() ? problem : FNode + ": " + problem;
}
