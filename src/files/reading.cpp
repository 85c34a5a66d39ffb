#include "files/internal/reading.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <exception>
#include <mutex>
#include <optional>
#include <system_error>
#include <string_view>
#include <thread>
#include <unordered_map>
#include <utility>

#ifdef __GLIBC__
#include <malloc.h>
#endif

#include "formats/splice.h"
#include "lossless/index.h"

namespace vext::detail {
namespace {

std::string_view format_name(Format f) { return f == Format::Xml ? "XML" : "JSON"; }

// Appends a member name or index to a JSON Pointer.
void append_token(std::string& pointer, std::string_view token) {
  pointer += '/';
  for (const char c : token) {
    if (c == '~') pointer += "~0";
    else if (c == '/') pointer += "~1";
    else pointer += c;
  }
}

// Whether `pointer` is one that `pattern` names, "*" standing for any one token.
bool pointer_matches(std::string_view pattern, std::string_view pointer) {
  while (!pattern.empty() && !pointer.empty()) {
    if (pattern[0] != '/' || pointer[0] != '/') return false;
    const std::size_t a = std::min(pattern.find('/', 1), pattern.size());
    const std::size_t b = std::min(pointer.find('/', 1), pointer.size());
    if (pattern.substr(1, a - 1) != "*" && pattern.substr(0, a) != pointer.substr(0, b)) return false;
    pattern.remove_prefix(a);
    pointer.remove_prefix(b);
  }
  return pattern.empty() && pointer.empty();
}

// Gives the object elements of the arrays that `keys` name their key's
// value as identity; refuses two elements of one array with the same value.
std::optional<FormatError> apply_id_keys(TreeNode& root, const std::vector<IdKey>& keys) {
  struct Step {
    TreeNode* node;
    std::string pointer;
  };
  std::vector<Step> stack{{&root, ""}};
  std::unordered_map<std::string_view, std::size_t> seen;
  while (!stack.empty()) {
    Step step = std::move(stack.back());
    stack.pop_back();
    TreeNode& node = *step.node;
    if (node.kind == "array") {
      const IdKey* key = nullptr;
      for (const IdKey& k : keys) {
        if (k.pointer.empty() || pointer_matches(k.pointer, step.pointer)) {
          key = &k;
          break;
        }
      }
      seen.clear();
      for (std::size_t i = 0; key && i < node.children.size(); ++i) {
        TreeNode& element = node.children[i];
        if (element.kind != "object" || detail::is_stub(element)) continue;
        for (const TreeNode& member : element.children) {
          if (member.identity != key->name || (member.kind != "string" && member.kind != "number")) continue;
          element.identity = member.text;
          const auto [at, fresh] = seen.emplace(*element.identity, i);
          if (!fresh) {
            return FormatError{"the elements " + std::to_string(at->second) + " and " + std::to_string(i) +
                                   " of the array " + (step.pointer.empty() ? "(root)" : step.pointer) +
                                   " have the same key " + quoted(key->name) + ": " + quoted(*element.identity),
                               std::nullopt};
          }
          break;
        }
      }
    }
    for (std::size_t i = node.children.size(); i-- > 0;) {
      TreeNode& child = node.children[i];
      std::string pointer = step.pointer;
      append_token(pointer, node.kind == "array" ? std::string_view(std::to_string(i)) : std::string_view(*child.identity));
      stack.push_back({&child, std::move(pointer)});
    }
  }
  return std::nullopt;
}

}  // namespace

Result<std::vector<Document>, FileError> read_side_by_side(std::vector<std::string> sources,
                                                          const FileOptions& options, const StopCheck& stop,
                                                          ReadAs read_as, const Trims* trims,
                                                          const std::vector<std::string>* decoded_from) {
  const std::size_t n = sources.size();
  std::vector<std::optional<Result<Document, FormatError>>> read(n);
  std::vector<std::exception_ptr> failures(n);
  std::size_t total = 0;
  for (const std::string& s : sources) total += s.size();
  // Each file has its own parser, so files are read side by side; the
  // calling thread takes its share and alone answers `stop`, which it passes
  // on to the others through a flag.
  struct Shared {
    explicit Shared(const StopCheck& caller) : stop(caller) {}
    const StopCheck& stop;
    std::atomic<bool> stopping{false};
    std::atomic<std::size_t> next{0};
    std::atomic<std::size_t> finished{0};
    std::mutex mutex;
    std::condition_variable all_finished;
  } shared(stop);
  const StopCheck caller_stop{.poll = stop.poll ? +[](void* context) {
                                auto& s = *static_cast<Shared*>(context);
                                if (s.stop.poll(s.stop.context)) s.stopping = true;
                                return s.stopping.load();
                              }
                                                : nullptr,
                              .context = &shared};
  const StopCheck worker_stop{.poll = [](void* context) { return static_cast<Shared*>(context)->stopping.load(); },
                              .context = &shared};
  auto take_share = [&](const StopCheck& check) {
    for (std::size_t i; (i = shared.next++) < n;) {
      const ReadOptions read_options{
          .id_attrs = options.id_attrs, .stop = check, .sketch = read_as == ReadAs::Sketches,
          .trims = trims && !trims->lists[i].empty() ? &trims->lists[i] : nullptr,
          .node_count = trims ? trims->nodes[i] : 0,
          .run_prints = trims ? &trims->run_prints : nullptr,
          .decoded_from = decoded_from ? std::optional<std::string>((*decoded_from)[i]) : std::nullopt};
      try {
        std::string source = std::exchange(sources[i], std::string());
        read[i] = !options.format                  ? read_document(std::move(source), read_options)
                  : *options.format == Format::Xml ? read_xml(std::move(source), read_options)
                                                   : read_json(std::move(source), read_options);
      } catch (...) {
        failures[i] = std::current_exception();
      }
      std::lock_guard lock(shared.mutex);
      if (++shared.finished == n) shared.all_finished.notify_all();
    }
  };
  constexpr std::size_t kParallelBytes = std::size_t{1} << 20;
  // Trimmed files are quick to read, and one at a time the transient
  // memory of building each tree is needed only once.
  const bool trimmed = trims && std::any_of(trims->lists.begin(), trims->lists.end(),
                                           [](const std::vector<Trim>& list) { return !list.empty(); });
  const std::size_t threads = total < kParallelBytes || trimmed ? 1
                              : std::min<std::size_t>(n, std::max(1U, std::thread::hardware_concurrency()));
  {
    std::vector<std::jthread> helpers;
    // Whatever happens here, the helpers are told to stop before they are joined.
    struct StopHelpers {
      Shared& shared;
      ~StopHelpers() {
        if (std::uncaught_exceptions() > 0) shared.stopping = true;
      }
    };
    for (std::size_t k = 1; k < threads; ++k) {
      try {
        helpers.emplace_back([&] { take_share(worker_stop); });
      } catch (const std::system_error&) {
        break;  // the threads there are take the remaining files
      }
    }
    const StopHelpers on_exit{shared};
    take_share(caller_stop);
    std::unique_lock lock(shared.mutex);
    while (shared.finished < n) {
      shared.all_finished.wait_for(lock, std::chrono::milliseconds(5));
      if (shared.finished == n || !stop.poll) continue;
      lock.unlock();
      if (stop.poll(stop.context)) shared.stopping = true;
      lock.lock();
      if (shared.stopping) break;
    }
  }
  // A stop the caller asked for wins over whatever the files held.
  if (shared.stopping) throw Stopped();
  std::vector<Document> docs;
  docs.reserve(n);
  for (std::size_t i = 0; i < n; ++i) {
    if (failures[i]) std::rethrow_exception(failures[i]);
    Result<Document, FormatError>& doc = *read[i];
    const int which = static_cast<int>(i);
    if (!doc.ok()) return FileError{which, doc.error()};
    if (!docs.empty() && doc->format != docs.front().format) {
      return FileError{which, FormatError{"the file is " + std::string(format_name(doc->format)) + " but the first is " +
                                              std::string(format_name(docs.front().format)),
                                          std::nullopt}};
    }
    if (options.id_attrs_chosen && doc->format == Format::Json) {
      return FileError{which, FormatError{"identity attributes are given, but the file is JSON, which has none",
                                          std::nullopt}};
    }
    if (!options.id_keys.empty()) {
      if (doc->format == Format::Xml) {
        return FileError{which, FormatError{"identity keys are given, but the file is XML, whose elements take "
                                            "identity attributes", std::nullopt}};
      }
      if (read_as == ReadAs::Trees) {
        if (auto problem = apply_id_keys(doc->tree, options.id_keys)) return FileError{which, *std::move(problem)};
      }
    }
    docs.push_back(std::move(doc).value());
  }
  return docs;
}

void give_back_free_memory() {
#ifdef __GLIBC__
  malloc_trim(0);
#endif
}

}  // namespace vext::detail
