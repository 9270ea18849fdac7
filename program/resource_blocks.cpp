#include "resource_blocks.h"

#include <algorithm>

namespace {

using Bytes = std::vector<unsigned char>;

std::uint32_t Get16(const Bytes& b, std::size_t at) {
  return b[at] | static_cast<std::uint32_t>(b[at + 1]) << 8;
}
void Put16(Bytes* out, std::size_t at, std::uint32_t value) {
  (*out)[at] = static_cast<unsigned char>(value);
  (*out)[at + 1] = static_cast<unsigned char>(value >> 8);
}
void Append16(Bytes* out, std::uint32_t value) {
  out->resize(out->size() + 2);
  Put16(out, out->size() - 2, value);
}
void Pad4(Bytes* out) { out->resize((out->size() + 3) & ~std::size_t{3}); }
std::size_t Align4(std::size_t at) { return (at + 3) & ~std::size_t{3}; }

// A node: wLength, wValueLength, wType, a key, its value, its children. Only
// the nodes on the way to the edited ones are taken apart; the children of the
// rest are copied as they are.
struct Node {
  std::size_t start, end, keyEnd, childrenStart;
  std::u16string key;
  std::vector<Node> children;
};

class VersionEditor {
 public:
  VersionEditor(const Bytes& block, const std::uint16_t parts[4], const std::u16string& text)
      : b_(block), parts_(parts), text_(text) {}

  bool Edit(Bytes* result, std::string* error) {
    Node root;
    if (!Parse(0, b_.size(), 0, &root)) {
      *error = "the version block is damaged at byte " + std::to_string(damage_);
      return false;
    }
    std::size_t value = Align4(root.keyEnd);
    if (root.key != u"VS_VERSION_INFO" || Get16(b_, 2) < 52 || value + 52 > root.end ||
        Get16(b_, value) != 0x04BD || Get16(b_, value + 2) != 0xFEEF) {
      *error = "the version block has no fixed version part";
      return false;
    }
    Bytes out;
    if (!Build(root, 0, &out)) {
      *error = "the version block would grow beyond 64 KiB";
      return false;
    }
    // The file version, then the product version, each as two 32-bit halves
    // with the more significant part in the upper word.
    for (std::size_t field : {value + 8, value + 16}) {
      for (int i = 0; i < 4; ++i) Put16(&out, field + 2 * (i ^ 1), parts_[i]);
    }
    out.insert(out.end(), b_.begin() + root.end, b_.end());
    *result = std::move(out);
    return true;
  }

 private:
  bool Damaged(std::size_t at) {
    damage_ = at;
    return false;
  }

  // Children are taken apart in the root, in StringFileInfo and in its
  // string tables: the only nodes at depth 2.
  bool Parse(std::size_t start, std::size_t limit, int depth, Node* node) {
    if (limit - start < 6 || Get16(b_, start) < 6 || Get16(b_, start) > limit - start)
      return Damaged(start);
    node->start = start;
    node->end = start + Get16(b_, start);
    std::size_t at = start + 6;
    for (;; at += 2) {
      if (at + 2 > node->end) return Damaged(at);
      if (Get16(b_, at) == 0) break;
      node->key.push_back(static_cast<char16_t>(Get16(b_, at)));
    }
    node->keyEnd = at + 2;
    bool split = depth == 0 || depth == 2 || (depth == 1 && node->key == u"StringFileInfo");
    if (!split) return true;
    std::size_t valueSize = Get16(b_, start + 2) * (Get16(b_, start + 4) == 1 ? 2 : 1);
    node->childrenStart = std::min(Align4(Align4(node->keyEnd) + valueSize), node->end);
    for (at = node->childrenStart; at < node->end; at = Align4(node->children.back().end)) {
      node->children.emplace_back();
      if (!Parse(at, node->end, depth + 1, &node->children.back())) return false;
    }
    return true;
  }

  bool Build(const Node& node, int depth, Bytes* out) {
    std::size_t start = out->size();
    if (depth == 3 && (node.key == u"FileVersion" || node.key == u"ProductVersion")) {
      out->insert(out->end(), b_.begin() + node.start, b_.begin() + node.keyEnd);
      Put16(out, start + 2, static_cast<std::uint32_t>(text_.size() + 1));
      Pad4(out);
      for (char16_t c : text_) Append16(out, c);
      Append16(out, 0);
    } else if (node.children.empty()) {
      out->insert(out->end(), b_.begin() + node.start, b_.begin() + node.end);
    } else {
      out->insert(out->end(), b_.begin() + node.start, b_.begin() + node.childrenStart);
      for (const Node& child : node.children) {
        Pad4(out);
        if (!Build(child, depth + 1, out)) return false;
      }
      if (node.end > node.children.back().end) Pad4(out);
    }
    if (out->size() - start > 0xFFFF) return false;
    Put16(out, start, static_cast<std::uint32_t>(out->size() - start));
    return true;
  }

  const Bytes& b_;
  const std::uint16_t* parts_;
  const std::u16string& text_;
  std::size_t damage_ = 0;
};

}  // namespace

bool SetVersionNumbers(std::vector<unsigned char>* block, const std::uint16_t parts[4],
                       const std::u16string& text, std::string* error) {
  return VersionEditor(*block, parts, text).Edit(block, error);
}

namespace {

// Where string index lies in a string table block, its length first; the
// whole block is walked, so a block cut short is found whichever is asked.
bool StringSpan(const Bytes& block, unsigned index, std::size_t* from, std::size_t* to,
                std::string* error) {
  if (index > 15) {
    *error = "a string table block has strings 0 to 15, not " + std::to_string(index);
    return false;
  }
  std::size_t at = 0;
  for (unsigned i = 0; i < 16; ++i) {
    if (at + 2 > block.size() || at + 2 + 2 * Get16(block, at) > block.size()) {
      *error = "the string table block is cut short in string " + std::to_string(i);
      return false;
    }
    std::size_t next = at + 2 + 2 * Get16(block, at);
    if (i == index) {
      *from = at;
      *to = next;
    }
    at = next;
  }
  return true;
}

}  // namespace

bool TableString(const std::vector<unsigned char>& block, unsigned index, std::u16string* text,
                 std::string* error) {
  std::size_t from = 0, to = 0;
  if (!StringSpan(block, index, &from, &to, error)) return false;
  text->clear();
  for (std::size_t at = from + 2; at < to; at += 2) text->push_back(Get16(block, at));
  return true;
}

bool SetTableString(std::vector<unsigned char>* block, unsigned index, const std::u16string& text,
                    std::string* error) {
  if (text.size() > 0xFFFF) {
    *error = "a string of more than 65535 characters";
    return false;
  }
  std::size_t from = 0, to = 0;
  if (!StringSpan(*block, index, &from, &to, error)) return false;
  Bytes entry;
  Append16(&entry, static_cast<std::uint32_t>(text.size()));
  for (char16_t c : text) Append16(&entry, c);
  block->erase(block->begin() + from, block->begin() + to);
  block->insert(block->begin() + from, entry.begin(), entry.end());
  return true;
}
