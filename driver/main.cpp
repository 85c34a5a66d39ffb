// The vext command's native front. git starts a merge driver once per file,
// so the driver's command line, `vext merge [--name NAME] [--line-fallback]
// BASE OURS THEIRS -o OUT`, and the plain `vext diff OLD NEW` are handled here
// on the core without starting Python. Every other command line, and every
// case whose output this program could not be sure to write exactly as the
// Python command does (any error, a large run whose progress a terminal would
// show, text in an encoding other than UTF-8), goes to the Python command
// installed beside this program, which handles everything.
#include <fcntl.h>
#include <langinfo.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <climits>
#include <clocale>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <unordered_set>
#include <vector>

#include "common/stop.h"
#include "common/utf8.h"
#include "files/files.h"
#include "lossless/lossless.h"

namespace {

// The Python command, installed beside this program by the same wheel.
constexpr const char* kPythonCommand = "vext-python";
// When standard error is a terminal, runs on larger inputs go to the Python
// command, which shows a progress line there during a run of more than a
// second; start-up is nothing beside such a run. Elsewhere (git, scripts)
// this program takes files of any size the core reads, without an
// interpreter's time and memory.
constexpr std::size_t kLargestOnTerminal = std::size_t{1} << 20;
constexpr std::size_t kLargestRead = (std::size_t{1} << 32) - 1;
// The longest value a conflict line shows, in characters (code points).
constexpr std::size_t kWidth = 60;

volatile std::sig_atomic_t interrupted = 0;

extern "C" void on_interrupt(int) { interrupted = 1; }

bool poll_interrupt(void*) { return interrupted != 0; }

// Runs the Python command with this program's arguments; never returns.
[[noreturn]] void hand_over(char** argv) {
  std::string self(PATH_MAX, '\0');
  const ssize_t size = readlink("/proc/self/exe", self.data(), self.size());
  if (size <= 0 || static_cast<std::size_t>(size) >= self.size()) {
    std::fprintf(stderr, "vext: cannot find the Python command: /proc/self/exe: %s\n", std::strerror(errno));
    std::exit(2);
  }
  self.resize(static_cast<std::size_t>(size));
  std::string python = self.substr(0, self.rfind('/') + 1) + kPythonCommand;
  argv[0] = python.data();
  execv(python.c_str(), argv);
  std::fprintf(stderr, "vext: cannot start the Python command %s: %s\n", python.c_str(), std::strerror(errno));
  std::exit(2);
}

bool descriptors_open() {
  for (int fd = 0; fd <= 2; ++fd) {
    if (fcntl(fd, F_GETFD) < 0) return false;
  }
  return true;
}

// Reads a regular file that is not empty and holds at most `limit` bytes;
// nullopt for anything else.
std::optional<std::string> read_file(const char* path, std::size_t limit) {
  const int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return std::nullopt;
  std::optional<std::string> data;
  struct stat info {};
  if (fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && info.st_size > 0 &&
      static_cast<unsigned long long>(info.st_size) <= limit) {
    data.emplace();
    data->reserve(static_cast<std::size_t>(info.st_size));
    char buffer[1 << 16];
    for (;;) {
      const ssize_t got = read(fd, buffer, sizeof buffer);
      if (got > 0) {
        data->append(buffer, static_cast<std::size_t>(got));
      } else if (got == 0) {
        break;
      } else if (errno != EINTR) {
        data.reset();
        break;
      }
    }
    if (data && data->empty()) data.reset();
  }
  close(fd);
  return data;
}

// Decodes strict UTF-8 (no surrogates, no overlong forms); nullopt when the
// bytes are not UTF-8.
std::optional<std::u32string> decode(std::string_view text) {
  std::u32string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size();) {
    const auto lead = static_cast<unsigned char>(text[i]);
    const std::size_t length = lead < 0x80 ? 1 : lead >= 0xC2 && lead < 0xE0 ? 2 : lead >= 0xE0 && lead < 0xF0 ? 3
                               : lead >= 0xF0 && lead < 0xF5                 ? 4
                                                                             : 0;
    if (length == 0 || i + length > text.size()) return std::nullopt;
    char32_t c = length == 1 ? lead : lead & (0x7F >> length);
    for (std::size_t k = 1; k < length; ++k) {
      const auto next = static_cast<unsigned char>(text[i + k]);
      if ((next & 0xC0) != 0x80) return std::nullopt;
      c = (c << 6) | (next & 0x3F);
    }
    const char32_t least[] = {0, 0, 0x80, 0x800, 0x10000};
    if (c < least[length] || c > 0x10FFFF || (c >= 0xD800 && c < 0xE000)) return std::nullopt;
    out.push_back(c);
    i += length;
  }
  return out;
}

// The characters that could break or disguise a line of output: control
// characters, line and paragraph separators, direction marks.
bool breaks_line(char32_t c) {
  return c <= 0x1F || (c >= 0x7F && c <= 0x9F) || c == 0x061C || c == 0x200E || c == 0x200F || c == 0x2028 ||
         c == 0x2029 || (c >= 0x202A && c <= 0x202E) || (c >= 0x2066 && c <= 0x2069);
}

// Appends `text` with the characters `escaped` picks written as escapes.
void append_escaped(std::string& out, std::u32string_view text, bool (*escaped)(char32_t)) {
  for (const char32_t c : text) {
    if (!escaped(c)) {
      vext::detail::append_utf8(out, c);
      continue;
    }
    switch (c) {
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      default: {
        char code[8];
        std::snprintf(code, sizeof code, c < 0x100 ? "\\x%02x" : "\\u%04x", static_cast<unsigned>(c));
        out += code;
      }
    }
  }
}

bool quoted_escape(char32_t c) { return c == '"' || c == '\\' || breaks_line(c); }

// Appends a value as a conflict line shows it: quoted, cut at kWidth
// characters with an ellipsis, escaped; false when it is not UTF-8.
bool append_value(std::string& out, const std::optional<std::string>& value) {
  if (!value) {
    out += "(none)";
    return true;
  }
  auto text = decode(*value);
  if (!text) return false;
  if (text->size() > kWidth) {
    text->resize(kWidth - 1);
    text->push_back(U'\u2026');
  }
  out += '"';
  append_escaped(out, *text, quoted_escape);
  out += '"';
  return true;
}

// Appends where a line's change or conflict is: its path, escaped, or
// "(root)"; false when the path is not UTF-8.
bool append_where(std::string& out, std::string_view path) {
  const auto text = decode(path);
  if (!text) return false;
  if (text->empty()) {
    out += "(root)";
  } else {
    append_escaped(out, *text, breaks_line);
  }
  return true;
}

// The line of `vext diff` that reports a change; its path and values must be
// UTF-8 (see all_utf8).
std::string change_line(const vext::FileChange& c) {
  std::string line(vext::change_op_name(c.op));
  line += ' ';
  append_where(line, vext::path_text(c.path));
  line += ' ';
  line += vext::field_name(c.field);
  line += ": ";
  if (c.op == vext::ChangeOp::Insert) {
    append_value(line, c.new_value);
  } else if (c.op == vext::ChangeOp::Remove) {
    append_value(line, c.old_value);
  } else {
    append_value(line, c.old_value);
    line += " -> ";
    append_value(line, c.new_value);
  }
  line += '\n';
  return line;
}

// Whether every value and path segment of `changes` is UTF-8, each shared
// path prefix looked at once; `ascii` tells whether all of it is ASCII.
bool all_utf8(const std::vector<vext::FileChange>& changes, bool& ascii) {
  const auto check = [&](std::string_view text) {
    ascii = ascii && std::none_of(text.begin(), text.end(), [](char c) { return (c & 0x80) != 0; });
    return ascii || decode(text).has_value();
  };
  std::unordered_set<const void*> seen;
  ascii = true;
  for (const vext::FileChange& c : changes) {
    if ((c.old_value && !check(*c.old_value)) || (c.new_value && !check(*c.new_value))) return false;
    for (vext::FilePath p = c.path; !p.empty() && seen.insert(p.id()).second; p = p.parent()) {
      if (!check(p.back())) return false;
    }
  }
  return true;
}

// The line that reports a conflict on standard error, after `name` and ": "
// when the command line names the file; nullopt when a path or value is not
// UTF-8.
std::optional<std::string> conflict_line(const vext::FileConflict& c, const char* name) {
  std::string line = "vext: conflict: ";
  if (name) line.append(name).append(": ");
  if (!append_where(line, c.path)) return std::nullopt;
  line += ' ';
  line += vext::field_name(c.field);
  line += ": base ";
  if (!append_value(line, c.base)) return std::nullopt;
  line += ", ours ";
  if (!append_value(line, c.ours)) return std::nullopt;
  line += ", theirs ";
  if (!append_value(line, c.theirs)) return std::nullopt;
  line += '\n';
  return line;
}

// Whether an encoding is forced on the Python command's streams, which may
// then not even write ASCII as this program does.
bool encoding_forced() {
  const char* forced = std::getenv("PYTHONIOENCODING");
  return forced && *forced;
}

// Whether the Python command would write its standard output and error in
// UTF-8, as this program does, when no encoding is forced on them: a UTF-8
// locale or UTF-8 mode.
bool python_writes_utf8() {
  const char* utf8_mode = std::getenv("PYTHONUTF8");
  if (utf8_mode && std::strcmp(utf8_mode, "1") == 0) return true;
  if (!std::setlocale(LC_CTYPE, "")) return false;
  const std::string_view codeset = nl_langinfo(CODESET);
  return codeset == "UTF-8" || codeset == "utf-8" || codeset == "utf8";
}

bool write_all(int fd, std::string_view data) {
  while (!data.empty()) {
    const ssize_t put = write(fd, data.data(), data.size());
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0) return false;
    data.remove_prefix(static_cast<std::size_t>(put));
  }
  return true;
}

enum class Written : std::uint8_t { Done, Failed, Interrupted };

// Replaces the regular file at `path` (through a symbolic link, the file it
// names) with `data` atomically, keeping its mode: a temporary file beside it
// is written, synced and renamed over it. On failure the temporary file is
// gone and the target is as it was. Anything but a regular file (a FIFO, a
// device) is never renamed over: that is Failed here, for the Python command
// to write in place.
Written replace_file(const char* path, std::string_view data) {
  char target[PATH_MAX];
  struct stat info {};
  if (!realpath(path, target) || stat(target, &info) != 0 || !S_ISREG(info.st_mode)) return Written::Failed;
  const std::string_view full(target);
  const std::size_t slash = full.rfind('/');
  const std::string directory(full.substr(0, slash == 0 ? 1 : slash));
  std::string temp = std::string(full.substr(0, slash + 1)) + "." + std::string(full.substr(slash + 1)) +
                     ".XXXXXX.vext-tmp";
  const int fd = mkstemps(temp.data(), 9);
  if (fd < 0) return Written::Failed;
  const bool ok = write_all(fd, data) && fsync(fd) == 0;
  if (close(fd) != 0 || !ok || chmod(temp.c_str(), info.st_mode & 07777) != 0 || interrupted ||
      rename(temp.c_str(), target) != 0) {
    unlink(temp.c_str());
    return interrupted ? Written::Interrupted : Written::Failed;
  }
  // The rename itself is durable once the directory is synced.
  const int dir = open(directory.c_str(), O_RDONLY | O_CLOEXEC);
  if (dir >= 0) {
    fsync(dir);
    close(dir);
  }
  return Written::Done;
}

bool is_path(std::string_view arg) { return !arg.empty() && arg[0] != '-'; }

// A name this program shows exactly as the Python command does: UTF-8 with
// nothing a line would need escaped.
bool plain_name(std::string_view name) {
  const auto text = decode(name);
  return text && std::none_of(text->begin(), text->end(), breaks_line);
}

// The driver's command line: `merge [--name NAME] [--line-fallback] BASE OURS
// THEIRS -o|--output OUT`, options before the files. --line-fallback changes
// nothing here: a file the core refuses goes to the Python command, which
// falls back to a line merge.
struct DriverLine {
  std::array<const char*, 3> inputs{};
  const char* output = nullptr;
  const char* name = nullptr;
};

std::optional<DriverLine> driver_line(int argc, char** argv) {
  if (argc < 7 || std::string_view(argv[1]) != "merge") return std::nullopt;
  DriverLine line;
  int at = 2;
  bool fallback = false;
  for (; at < argc && !is_path(argv[at]); ++at) {
    const std::string_view arg = argv[at];
    if (arg == "--line-fallback" && !fallback) {
      fallback = true;
    } else if (arg == "--name" && !line.name && at + 1 < argc && is_path(argv[at + 1]) && plain_name(argv[at + 1])) {
      line.name = argv[++at];
    } else {
      return std::nullopt;
    }
  }
  if (argc - at != 5) return std::nullopt;
  for (std::size_t k = 0; k < 3; ++k) {
    if (!is_path(argv[at + static_cast<int>(k)])) return std::nullopt;
    line.inputs[k] = argv[at + static_cast<int>(k)];
  }
  const std::string_view flag = argv[at + 3];
  if ((flag != "-o" && flag != "--output") || !is_path(argv[at + 4])) return std::nullopt;
  line.output = argv[at + 4];
  return line;
}

// Reads the files a command line names; nullopt when one of them is not a
// regular file that is not empty, or they are too large to take on here.
template <std::size_t N>
std::optional<std::vector<std::string>> read_inputs(const std::array<const char*, N>& paths) {
  const std::size_t limit = isatty(2) ? kLargestOnTerminal : kLargestRead;
  std::vector<std::string> inputs;
  std::size_t total = 0;
  for (const char* path : paths) {
    auto data = read_file(path, limit);
    if (!data) return std::nullopt;
    total += data->size();
    inputs.push_back(*std::move(data));
  }
  if (total > limit) return std::nullopt;
  return inputs;
}

// What running the core on a command line's files came to: its result, or an
// exit status to end with at once (130 after Ctrl-C); neither hands the
// command line over.
template <class T>
struct CoreRun {
  std::optional<T> value;
  std::optional<int> status;
};

// Reads the files `paths` names and runs `call(inputs, stop)` on them, where
// Ctrl-C stops it.
template <std::size_t N, class Call>
auto run_core(const std::array<const char*, N>& paths, Call call) {
  using Value = std::decay_t<decltype(call(std::vector<std::string>{}, vext::StopCheck{}).value())>;
  CoreRun<Value> out;
  auto inputs = read_inputs(paths);
  if (!inputs) return out;
  const vext::StopCheck stop{poll_interrupt, nullptr};
  try {
    auto result = call(*std::move(inputs), stop);
    if (result.ok()) out.value = std::move(result).value();
  } catch (const vext::Stopped&) {
    out.status = 130;
  } catch (const std::exception&) {
    // handed over
  }
  return out;
}

// `vext diff OLD NEW`, with no option.
struct DiffLine {
  std::array<const char*, 2> inputs{};
};

std::optional<DiffLine> diff_line(int argc, char** argv) {
  if (argc != 4 || std::string_view(argv[1]) != "diff" || !is_path(argv[2]) || !is_path(argv[3]))
    return std::nullopt;
  return DiffLine{{argv[2], argv[3]}};
}

// Lists the changes as the Python command would, its lines written as they
// are made, 64 KiB at a time; returns the exit status, or nullopt to hand the
// command line over (only ever before anything is written).
std::optional<int> diff(const DiffLine& args) {
  auto run = run_core(args.inputs, [](std::vector<std::string> inputs, const vext::StopCheck& stop) {
    return vext::diff_files(std::move(inputs), vext::FileOptions{}, stop);
  });
  if (!run.value) return run.status;
  const std::vector<vext::FileChange>& changes = *run.value;
  if (!changes.empty() && encoding_forced()) return std::nullopt;
  bool ascii = true;
  if (!all_utf8(changes, ascii) || (!ascii && !python_writes_utf8())) return std::nullopt;
  std::string block;
  for (std::size_t i = 0; i <= changes.size(); ++i) {
    if (i < changes.size()) block += change_line(changes[i]);
    if (block.size() < (std::size_t{1} << 16) && i < changes.size()) continue;
    if (interrupted) return 130;
    if (!write_all(1, block)) {
      const std::string line = std::string("vext: cannot write to standard output: ") + std::strerror(errno) + "\n";
      write_all(2, line);
      return 2;
    }
    block.clear();
  }
  return changes.empty() ? 0 : 1;
}

// Merges as the Python command would; returns the exit status, or nullopt
// to hand the command line over.
std::optional<int> merge(const DriverLine& args) {
  auto run = run_core(args.inputs, [](std::vector<std::string> inputs, const vext::StopCheck& stop) {
    return vext::merge_files(std::move(inputs), vext::FileOptions{}, true, stop);
  });
  if (!run.value) return run.status;
  const std::optional<vext::FileMerge>& merged = run.value;

  std::string report;
  for (const vext::FileConflict& conflict : merged->conflicts) {
    auto line = conflict_line(conflict, args.name);
    if (!line) return std::nullopt;
    report += *line;
  }
  if (!report.empty()) {
    if (encoding_forced()) return std::nullopt;
    const bool ascii = std::none_of(report.begin(), report.end(), [](char c) { return (c & 0x80) != 0; });
    if (!ascii && !python_writes_utf8()) return std::nullopt;
  }

  switch (replace_file(args.output, merged->merged)) {
    case Written::Done: break;
    case Written::Failed: return std::nullopt;
    case Written::Interrupted: return 130;
  }
  write_all(2, report);
  if (interrupted) return 130;
  return merged->conflicts.empty() ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  const std::optional<DriverLine> driver = driver_line(argc, argv);
  const std::optional<DiffLine> diffing = driver ? std::nullopt : diff_line(argc, argv);
  if ((!driver && !diffing) || !descriptors_open()) hand_over(argv);
  // Ctrl-C stops the run with status 130 and leaves OUT as it was, unless
  // the process was started with it ignored.
  struct sigaction old {};
  if (sigaction(SIGINT, nullptr, &old) == 0 && old.sa_handler != SIG_IGN) std::signal(SIGINT, on_interrupt);
  // A write past the file-size limit or to a pipe with no reader fails
  // instead of ending the process, as it does for the Python command.
  std::signal(SIGXFSZ, SIG_IGN);
  std::signal(SIGPIPE, SIG_IGN);
  const std::optional<int> status = driver ? merge(*driver) : diff(*diffing);
  if (interrupted) return 130;
  if (!status) hand_over(argv);
  return *status;
}
