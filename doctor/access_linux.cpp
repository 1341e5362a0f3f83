#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <sstream>

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

// A user's line in root/etc/passwd, read as /etc/group is: no NSS, so that
// the statically linked doctor works the same on Alpine. Empty when none.
std::vector<std::string> PasswdFields(const std::string& root, uid_t uid) {
  std::istringstream in(ReadFile(root + "/etc/passwd"));
  for (std::string line; std::getline(in, line);) {
    const std::vector<std::string> fields = Split(line, ':');
    if (fields.size() < 4 || !IsNumber(fields[2]) || !IsNumber(fields[3])) continue;
    if (static_cast<uid_t>(std::atol(fields[2].c_str())) == uid) return fields;
  }
  return {};
}

void ReadUserEntry(const std::string& root, Identity* who) {
  const std::vector<std::string> fields = PasswdFields(root, who->uid);
  if (fields.empty()) return;
  who->user = fields[0];
  who->loginGid = static_cast<gid_t>(std::atol(fields[3].c_str()));
}

}  // namespace

Identity CurrentIdentity(const std::string& root) {
  Identity who = {::getuid(), ::getegid(), ::getgid(), {}, ""};
  const int count = ::getgroups(0, nullptr);
  if (count > 0) {
    who.groups.resize(static_cast<std::size_t>(count));
    const int got = ::getgroups(count, who.groups.data());
    who.groups.resize(got < 0 ? 0 : static_cast<std::size_t>(got));
  }
  ReadUserEntry(root, &who);
  return who;
}

std::string UserName(const std::string& root, uid_t uid) {
  const std::vector<std::string> fields = PasswdFields(root, uid);
  return fields.empty() ? "uid " + std::to_string(uid) : fields[0];
}

std::vector<GroupEntry> ReadGroups(const std::string& root) {
  std::vector<GroupEntry> groups;
  std::istringstream in(ReadFile(root + "/etc/group"));
  for (std::string line; std::getline(in, line);) {
    const std::vector<std::string> fields = Split(line, ':');
    if (fields.size() < 3 || !IsNumber(fields[2])) continue;
    GroupEntry group = {fields[0], static_cast<gid_t>(std::atol(fields[2].c_str())), {}};
    // "dialout:x:20:" has no members: an empty name names nobody.
    for (const std::string& member : fields.size() > 3 ? Split(fields[3], ',') : Split("", ',')) {
      if (!member.empty()) group.members.push_back(member);
    }
    groups.push_back(group);
  }
  return groups;
}

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

// The device node is made anew at every replug and boot, by udev: a chmod
// is gone then, a rule stays.
std::string OwnerOnlyFix(const std::string& device) {
  const std::string kernelName =
      device.compare(0, 5, "/dev/") == 0 ? device.substr(5) : BaseName(device);
  const std::string rule = "KERNEL==\"" + kernelName + "\", GROUP=\"dialout\", MODE=\"0660\"";
  return "sudo chgrp dialout " + ShellWord(device) + " && sudo chmod 660 " + ShellWord(device) +
         "; to keep it: echo " + ShellWord(rule) +
         " | sudo tee -a /etc/udev/rules.d/60-kavnori.rules";
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
