// lumo-pack extract: every entry of a packed file into a folder, under the launcher's
// name rules, each file complete or not there at all.
#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>

#include "command_line.h"
#include "files.h"

namespace lumopack {

int Extract(const CommandLine& line, std::ostream& out, std::ostream& err) {
  if (line.operands.size() != 2) return UsageError("extract", "takes FILE and DIR", err);
  const std::string& file = line.operands[0];
  const std::string& dir = line.operands[1];
  const bool force = line.Has("--force");
  OpenedPayload opened;
  if (!InspectFile(file, opened, err)) return kExitFailed;
  const Inspection& r = opened.inspection;
  if (r.state == PayloadState::kCutShort) return Failed(file + ": " + CutShortText(r) + "; nothing extracted", err);

  // Which entries are written: not those the launcher skips, and of names equal but for
  // case only the last, which the launcher writes over the others.
  std::vector<std::size_t> chosen;
  bool skipped = false;
  for (std::size_t i = 0; i < r.entries.size(); ++i) {
    const EntryReport& e = r.entries[i];
    const std::string which = file + ": entry " + std::to_string(i + 1) + " (" + Shown(e.name) + ") not extracted: ";
    const auto later = std::find_if(r.entries.begin() + static_cast<std::ptrdiff_t>(i) + 1, r.entries.end(),
                                    [&](const EntryReport& o) { return lumo::SameNameIgnoringCase(o.name, e.name); });
    if (e.nameProblem != lumo::NameProblem::kNone) {
      err << "lumo-pack: " << which << "the launcher skips it: " << lumo::DescribeNameProblem(e.nameProblem) << "\n";
      skipped = true;
    } else if (later != r.entries.end()) {
      err << "lumo-pack: " << which << "entry " << (later - r.entries.begin() + 1)
          << " has the same name, and the launcher writes it over this one\n";
      skipped = true;
    } else {
      chosen.push_back(i);
    }
  }

  if (::mkdir(dir.c_str(), 0777) != 0 && errno != EEXIST) return Failed("cannot create " + dir + ": " + Reason(errno), err);
  const UniqueFd folder(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!folder) return Failed("cannot open " + dir + ": " + Reason(errno), err);
  // Every name is tried before anything is written, so that what can be foreseen (a name
  // taken, a folder in the way, a name too long for this file system) leaves DIR as it was.
  for (std::size_t i : chosen) {
    const std::string& name = r.entries[i].name;
    struct stat existing {};
    if (::fstatat(folder.get(), name.c_str(), &existing, AT_SYMLINK_NOFOLLOW) != 0) {
      if (errno != ENOENT) return Failed("cannot write " + dir + "/" + Shown(name) + ": " + Reason(errno), err);
    } else if (!force || S_ISDIR(existing.st_mode)) {
      return Failed("refusing to extract into " + dir + ": " + Shown(name) + " exists there" +
                        (force ? " and is a folder" : " (--force replaces it)"),
                    err);
    }
  }

  const mode_t mask = ::umask(0);
  ::umask(mask);
  FdSource source(opened.input.fd.get(), r.length);
  std::vector<char> buffer(1 << 16);
  for (std::size_t i : chosen) {
    const EntryReport& e = r.entries[i];
    const std::string target = dir + "/" + Shown(e.name);
    TempFile temp;
    if (!temp.Create(folder.get(), e.name, 0666 & ~mask)) return Failed("cannot write " + target + ": " + Reason(errno), err);
    for (uint64_t done = 0; done < e.header.size;) {
      const std::size_t want = static_cast<std::size_t>(std::min<uint64_t>(buffer.size(), e.header.size - done));
      const std::size_t got = source.ReadAt(e.dataOffset + done, buffer.data(), want);
      if (got < want)
        return Failed("cannot read " + file + ": " + (source.error() != 0 ? Reason(source.error()) : "it changed while it was read"), err);
      if (!temp.Write(buffer.data(), got)) return Failed("cannot write " + target + ": " + Reason(errno), err);
      done += got;
    }
    if (!temp.Commit(e.name, force)) return Failed("cannot write " + target + ": " + Reason(errno), err);
  }
  out << dir << ": " << Entries(chosen.size()) << " extracted from " << file << "\n";
  return skipped ? kExitFailed : kExitOk;
}

}  // namespace lumopack
