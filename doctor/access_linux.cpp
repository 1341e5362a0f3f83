#include <sys/stat.h>

#include <algorithm>
#include <cstdio>

#include "doctor/doctor_linux.h"

namespace {

bool InGroup(gid_t gid, const Identity& who) {
  return gid == who.gid || std::find(who.groups.begin(), who.groups.end(), gid) != who.groups.end();
}

const GroupEntry* GroupById(const std::vector<GroupEntry>& groups, gid_t gid) {
  for (const GroupEntry& group : groups) {
    if (group.gid == gid) return &group;
  }
  return nullptr;
}

}  // namespace

AccessVerdict JudgeAccess(const struct stat& node, const Identity& who,
                          const std::vector<GroupEntry>& groups) {
  const GroupEntry* group = GroupById(groups, node.st_gid);
  AccessVerdict verdict = {Access::kAllowed,
                           group != nullptr ? group->name : std::to_string(node.st_gid)};
  const mode_t mode = node.st_mode;
  const bool ownerMay = (mode & (S_IRUSR | S_IWUSR)) == (S_IRUSR | S_IWUSR);
  const bool groupMay = (mode & (S_IRGRP | S_IWGRP)) == (S_IRGRP | S_IWGRP);
  const bool othersMay = (mode & (S_IROTH | S_IWOTH)) == (S_IROTH | S_IWOTH);
  // The kernel takes the first class that fits: owner, then group, then others.
  if (who.uid == 0) return verdict;
  if (node.st_uid == who.uid) {
    if (!ownerMay) verdict.access = Access::kOwnerOnly;
    return verdict;
  }
  if (InGroup(node.st_gid, who)) {
    if (!groupMay) verdict.access = Access::kOwnerOnly;
    return verdict;
  }
  if (othersMay) return verdict;
  if (!groupMay) {
    verdict.access = Access::kOwnerOnly;
    return verdict;
  }
  const bool member =
      (!who.user.empty() && group != nullptr &&
       std::find(group->members.begin(), group->members.end(), who.user) != group->members.end()) ||
      (!who.user.empty() && who.loginGid == node.st_gid);
  verdict.access = member ? Access::kGroupNotActive : Access::kNotInGroup;
  return verdict;
}

Problem AccessProblem(const std::string& root, const std::string& device, const struct stat& node) {
  const Identity who = CurrentIdentity(root);
  const AccessVerdict verdict = JudgeAccess(node, who, ReadGroups(root));
  const std::string user = who.user.empty() ? "uid " + std::to_string(who.uid) : who.user;
  char mode[8];
  std::snprintf(mode, sizeof mode, "%03o", static_cast<unsigned>(node.st_mode & 0777));
  const std::string owned = " (mode " + std::string(mode) + ", group " + verdict.group + ")";
  switch (verdict.access) {
    case Access::kNotInGroup:
      return {ProblemCode::kPermission,
              user + " may not open " + device + owned + ": only members of group " +
                  verdict.group + " may.",
              "sudo usermod -aG " + ShellWord(verdict.group) + " $USER, then log out and in again",
              {}};
    case Access::kGroupNotActive:
      return {
          ProblemCode::kGroupNotActive,
          user + " is in group " + verdict.group + ", but this session started before that" +
              owned + ".",
          "log out and in again (or, for this shell only: newgrp " + ShellWord(verdict.group) + ")",
          {}};
    case Access::kOwnerOnly:
      return {ProblemCode::kPermission,
              device + " may be opened by its owner only" + owned +
                  "; a mode set by hand lasts until the next replug or reboot.",
              OwnerOnlyFix(device),
              {}};
    case Access::kAllowed:
      break;
  }
  return {ProblemCode::kPermission,
          "Opening " + device + " is refused though its mode allows it" + owned +
              " (an ACL or a security module).",
          "getfacl " + ShellWord(device),
          {}};
}
