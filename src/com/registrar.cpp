#include "src/com/registrar.h"

#include <dlfcn.h>
#include <limits.h>
#include <stdlib.h>

#include <cctype>
#include <memory>
#include <vector>

#include "src/com/registry.h"

namespace vtfc4 {
namespace {

// A key of a script with its default value, named values and the keys below it.
struct ScriptKey {
  std::string name;
  bool noRemove = false, forceRemove = false;
  bool hasDefault = false;
  std::string value;
  std::vector<std::pair<std::string, std::string>> values;
  std::vector<ScriptKey> keys;
};

class Reader {
 public:
  explicit Reader(std::string_view text) : text_(text) {}

  // The root and its keys.
  bool Read(std::vector<ScriptKey>& out, std::string& error) {
    std::string root;
    if (!Word(root) || (root != "HKCR" && root != "HKEY_CLASSES_ROOT")) return Fail("the root is not HKCR", error);
    if (!Expect('{')) return Fail("'{' expected after the root", error);
    if (!Keys(out, error)) return false;
    Blank();
    if (pos_ != text_.size()) return Fail("text after the root's closing brace", error);
    return true;
  }

 private:
  bool Fail(const std::string& why, std::string& error) {
    size_t line = 1;
    for (size_t i = 0; i < pos_ && i < text_.size(); ++i) line += text_[i] == '\n';
    error = "registry script, line " + std::to_string(line) + ": " + why;
    return false;
  }
  void Blank() {
    while (pos_ < text_.size() && std::isspace(static_cast<unsigned char>(text_[pos_]))) ++pos_;
  }
  bool Expect(char c) {
    Blank();
    if (pos_ < text_.size() && text_[pos_] == c) return ++pos_, true;
    return false;
  }
  // A name: up to a blank, a brace or '='; or a GUID in braces.
  bool Word(std::string& out) {
    Blank();
    const size_t start = pos_;
    if (pos_ + 38 <= text_.size() && text_[pos_] == '{' && text_[pos_ + 9] == '-' && text_[pos_ + 37] == '}') {
      pos_ += 38;
      out = std::string(text_.substr(start, 38));
      return true;
    }
    while (pos_ < text_.size() && !std::isspace(static_cast<unsigned char>(text_[pos_])) && text_[pos_] != '{' &&
           text_[pos_] != '}' && text_[pos_] != '=')
      ++pos_;
    out = std::string(text_.substr(start, pos_ - start));
    return !out.empty();
  }
  // "= s 'text'", quotes doubled inside.
  bool Value(std::string& out, std::string& error) {
    std::string kind;
    if (!Word(kind) || kind != "s") return Fail("only string values (s '...') are known", error);
    if (!Expect('\'')) return Fail("a quoted value expected", error);
    out.clear();
    while (pos_ < text_.size()) {
      if (text_[pos_] == '\'') {
        if (pos_ + 1 < text_.size() && text_[pos_ + 1] == '\'') {
          out += '\'';
          pos_ += 2;
          continue;
        }
        ++pos_;
        return true;
      }
      out += text_[pos_++];
    }
    return Fail("a value without its closing quote", error);
  }
  bool Keys(std::vector<ScriptKey>& out, std::string& error) {
    while (true) {
      if (Expect('}')) return true;
      if (pos_ >= text_.size()) return Fail("a '}' is missing", error);
      std::string word;
      if (!Word(word)) return Fail("a key name expected", error);
      if (word == "val") {
        if (!parent_) return Fail("a named value outside a key", error);
        std::string name, value;
        if (!Word(name) || !Expect('=') || !Value(value, error)) return error.empty() ? Fail("val NAME = s '...'", error) : false;
        parent_->values.emplace_back(name, value);
        continue;
      }
      ScriptKey key;
      if (word == "NoRemove" || word == "ForceRemove") {
        (word == "NoRemove" ? key.noRemove : key.forceRemove) = true;
        if (!Word(word)) return Fail("a key name expected after " + std::string(key.noRemove ? "NoRemove" : "ForceRemove"), error);
      }
      key.name = word;
      if (Expect('=')) {
        if (!Value(key.value, error)) return false;
        key.hasDefault = true;
      }
      if (Expect('{')) {
        ScriptKey* saved = parent_;
        parent_ = &key;
        const bool ok = Keys(key.keys, error);
        parent_ = saved;
        if (!ok) return false;
      }
      out.push_back(std::move(key));
    }
  }

  std::string_view text_;
  size_t pos_ = 0;
  ScriptKey* parent_ = nullptr;
};

void Register(Registry& registry, const std::string& base, const ScriptKey& k) {
  const std::string path = base.empty() ? k.name : base + "\\" + k.name;
  if (k.forceRemove) registry.DeleteTree(path);
  registry.CreateKey(path);
  if (k.hasDefault) registry.Set(path, "", k.value);
  for (const auto& [name, value] : k.values) registry.Set(path, name, value);
  for (const ScriptKey& child : k.keys) Register(registry, path, child);
}

void Unregister(Registry& registry, const std::string& base, const ScriptKey& k) {
  const std::string path = base.empty() ? k.name : base + "\\" + k.name;
  if (!k.noRemove) {
    registry.DeleteTree(path);
    return;
  }
  for (const ScriptKey& child : k.keys) Unregister(registry, path, child);
}

std::string Replace(std::string_view script, const std::map<std::string, std::string>& replacements) {
  std::string out(script);
  for (const auto& [name, value] : replacements) {
    const std::string mark = "%" + name + "%";
    for (size_t at = 0; (at = out.find(mark, at)) != std::string::npos; at += value.size()) out.replace(at, mark.size(), value);
  }
  return out;
}

}  // namespace

HRESULT RunRegistryScript(std::string_view script, const std::map<std::string, std::string>& replacements,
                          bool registering, std::string& error) {
  const std::string text = Replace(script, replacements);
  std::vector<ScriptKey> keys;
  if (!Reader(text).Read(keys, error)) return E_FAIL;
  Registry registry;
  if (!registry.Load(error)) return E_FAIL;
  for (const ScriptKey& k : keys) (registering ? Register : Unregister)(registry, "", k);
  return registry.Save(error) ? S_OK : E_FAIL;
}

std::string ModulePath(const void* address) {
  Dl_info info{};
  if (!dladdr(address, &info) || !info.dli_fname) return "";
  // The path the loader found it by (the SONAME's link, which survives an upgrade), made full.
  if (info.dli_fname[0] == '/') return info.dli_fname;
  char resolved[PATH_MAX];
  return realpath(info.dli_fname, resolved) ? resolved : info.dli_fname;
}

}  // namespace vtfc4
