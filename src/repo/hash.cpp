#include "repo/hash.h"

namespace vext {

void append_entry_tail(std::string& out, const Value& value) {
  out.push_back('|');
  append_text(out, value);
  out.push_back('\n');
}

namespace {

void append_u64_le(std::string& out, std::uint64_t v) {
  for (int i = 0; i < 8; ++i) out.push_back(static_cast<char>((v >> (8 * i)) & 0xff));
}

template <class Sink>
void feed_section(Sink&& sink, const Section& section) {
  std::string tail;
  for (const auto& entry : section) {
    tail.clear();
    append_entry_tail(tail, entry.value);
    feed_entry(sink, entry.path, tail);
  }
}

}  // namespace

void append_section_hash_input(std::string& out, const Section& section) {
  feed_section([&](std::string_view bytes) { out.append(bytes); }, section);
}

SectionHash section_hash(const Section& section) {
  // Folds the input entry by entry rather than building it whole: every
  // entry repeats its full path, so deep trees would need a huge buffer.
  FnvSink sink;
  feed_section(sink, section);
  return sink.hash;
}

void append_commit_hash_input(std::string& out, const Commit& commit) {
  for (CommitId p : commit.parents) append_u64_le(out, p);
  append_u64_le(out, commit.section_hash);
  out.append(commit.message);
  append_u64_le(out, commit.timestamp);
}

CommitId commit_id(const Commit& commit) {
  std::string buffer;
  append_commit_hash_input(buffer, commit);
  return fnv1a(buffer);
}

}  // namespace vext
