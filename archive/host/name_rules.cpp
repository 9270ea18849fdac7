#include "name_rules.h"

#include <cstring>

#include "archive_extractor.h"
#include "host_text.h"

std::string NameLengthProblem(std::size_t length) {
  if (length <= kMaxNameLength) return std::string();
  return "the name has " + std::to_string(length) + " characters, more than the " +
         std::to_string(kMaxNameLength) +
         " that leave room for the player's folder within Windows' path limit";
}

std::string ComponentProblem(const std::string& component, const CodePage& codePage) {
  std::string notText = codePage.BytesProblem(component);
  if (!notText.empty()) return notText;
  for (unsigned char c : component) {
    if (c < 0x20 || c == 0x7F) {
      return "the name holds control character 0x" + Hex(c, 2, false) + ", which Windows forbids";
    }
    if (c == '\\') return "the name holds '\\', the archive's folder separator";
    if (std::strchr("<>:\"|?*", c) != nullptr) {
      return std::string("the name holds '") + static_cast<char>(c) + "', which Windows forbids";
    }
  }
  if (!component.empty()) {
    char last = component.back();
    if (last == '.') return "the name ends in a dot, which Windows drops";
    if (last == ' ') return "the name ends in a space, which Windows drops";
  }
  const char* begin = component.data();
  if (IsDeviceName(begin, begin + component.size())) {
    return "the name is a device name on Windows";
  }
  return std::string();
}

std::string WindowsNameKey(const std::string& name, const CodePage& codePage) {
  std::string key, component;
  for (std::size_t at = 0; at <= name.size(); ++at) {
    char c = at < name.size() ? name[at] : '\\';
    if (c != '\\' && c != '/') {
      component += c;
      continue;
    }
    component.erase(component.find_last_not_of(". ") + 1);
    if (!component.empty()) key += (key.empty() ? "" : "\\") + component;
    component.clear();
  }
  return codePage.Fold(key);
}

std::vector<std::string> ParentFolders(const std::string& name) {
  std::vector<std::string> folders;
  for (std::size_t at = name.find('\\'); at != std::string::npos; at = name.find('\\', at + 1)) {
    folders.push_back(name.substr(0, at));
  }
  return folders;
}
