#pragma once

#include <utility>

#include "repo/repo.h"

namespace vext {

// Plants entries straight into a repository's maps, so that tests can stage
// hash and id collisions that no real input produces.
struct RepoTestAccess {
  static void plant_section(Repo& repo, SectionHash hash, const Section& section) {
    const NodeId root = repo.store_.intern_section(section);
    repo.sections_.insert_or_assign(hash, root);
    repo.section_hashes_.insert_or_assign(root, hash);
  }
  static void plant_commit(Repo& repo, CommitId id, Commit commit) {
    Commits& commits = repo.commits_;
    const std::uint32_t entry = commits.entry_of(id);
    if (entry == Commits::kAbsent) {
      commits.add(id, std::move(commit));
    } else {
      commits.entries_[entry].second = std::move(commit);
    }
  }
};

}  // namespace vext
