// Who is asking, and the groups there are: root/etc/passwd and
// root/etc/group, read as files.
#include <unistd.h>

#include <cstdlib>
#include <sstream>

#include "doctor/doctor_linux.h"

namespace {

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
