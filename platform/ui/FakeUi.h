#pragma once
// In-memory window services for tests: properties, combo items and status
// parts kept in maps, every write recorded in order. Thread-safe, so a worker
// under test may call it. Message boxes answer at once unless a test sets a
// handler.

#include <algorithm>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "platform/thread/Thread.h"
#include "platform/ui/Sound.h"
#include "platform/ui/Ui.h"

namespace platform {

class FakeUi final : public Ui {
 public:
  struct Write {
    std::string control;
    int property;  // -1 for a status bar part (then `part` is set)
    int part = -1;
    text::Text text;
    std::int64_t value = 0;
    bool operator==(const Write&) const = default;
  };

  text::Text GetText(std::string_view control, int property) override {
    CheckEnd();
    std::lock_guard lock(mutex_);
    return texts_[Key(control, property)];
  }
  void SetText(std::string_view control, int property, std::string_view value) override {
    CheckEnd();
    std::lock_guard lock(mutex_);
    texts_[Key(control, property)] = text::Text(value);
    writes_.push_back({std::string(control), property, -1, text::Text(value), 0});
  }
  std::int64_t GetInt(std::string_view control, int property) override {
    CheckEnd();
    std::lock_guard lock(mutex_);
    auto it = ints_.find(Key(control, property));
    if (it != ints_.end()) return it->second;
    return property == kPropBackColor ? kDefaultColor : property == kPropSelection ? -1 : 0;
  }
  void SetInt(std::string_view control, int property, std::int64_t value) override {
    CheckEnd();
    std::lock_guard lock(mutex_);
    if (property == kPropSelection) {
      auto& items = items_[std::string(control)];
      value = std::clamp<std::int64_t>(value, -1, static_cast<std::int64_t>(items.size()) - 1);
    }
    ints_[Key(control, property)] = value;
    writes_.push_back({std::string(control), property, -1, {}, value});
  }
  text::Text ComboItemText(std::string_view control, int index) override {
    CheckEnd();
    std::lock_guard lock(mutex_);
    auto& items = items_[std::string(control)];
    if (index < 0 || index >= static_cast<int>(items.size())) return {};
    return items[static_cast<std::size_t>(index)];
  }
  void SetStatusText(std::string_view control, int part, std::string_view value) override {
    CheckEnd();
    std::lock_guard lock(mutex_);
    status_[Key(control, part)] = text::Text(value);
    writes_.push_back({std::string(control), -1, part, text::Text(value), 0});
  }
  int MessageBox(std::string_view message, int flags, std::string_view title) override {
    CheckEnd();
    std::function<int(const text::Text&, int, const text::Text&)> handler;
    {
      std::lock_guard lock(mutex_);
      boxes_.push_back(text::Text(message));
      handler = boxHandler_;
    }
    return handler ? handler(text::Text(message), flags, text::Text(title)) : 1;
  }

  // Test set-up and inspection.
  void SetItems(std::string_view control, text::TextArray items) {
    std::lock_guard lock(mutex_);
    items_[std::string(control)] = std::move(items);
  }
  text::Text StatusText(std::string_view control, int part) {
    std::lock_guard lock(mutex_);
    return status_[Key(control, part)];
  }
  std::vector<Write> Writes() {
    std::lock_guard lock(mutex_);
    return writes_;
  }
  void ClearWrites() {
    std::lock_guard lock(mutex_);
    writes_.clear();
  }
  std::vector<text::Text> Boxes() {
    std::lock_guard lock(mutex_);
    return boxes_;
  }
  void OnMessageBox(std::function<int(const text::Text&, int, const text::Text&)> handler) {
    std::lock_guard lock(mutex_);
    boxHandler_ = std::move(handler);
  }

 private:
  static std::string Key(std::string_view control, int n) {
    return std::string(control) + "#" + std::to_string(n);
  }

  std::mutex mutex_;
  std::map<std::string, text::Text> texts_;
  std::map<std::string, std::int64_t> ints_;
  std::map<std::string, text::TextArray> items_;
  std::map<std::string, text::Text> status_;
  std::vector<Write> writes_;
  std::vector<text::Text> boxes_;
  std::function<int(const text::Text&, int, const text::Text&)> boxHandler_;
};

class FakeSound final : public Sound {
 public:
  void Play(std::string_view path, int count) override {
    std::lock_guard lock(mutex_);
    CheckEnd();
    playing_ = true;
    path_ = std::string(path);
    count_ = count;
  }
  void Stop() override {
    std::lock_guard lock(mutex_);
    playing_ = false;
  }
  bool Playing() {
    std::lock_guard lock(mutex_);
    return playing_;
  }
  std::string Path() {
    std::lock_guard lock(mutex_);
    return path_;
  }
  int Count() {
    std::lock_guard lock(mutex_);
    return count_;
  }

 private:
  std::mutex mutex_;
  bool playing_ = false;
  std::string path_;
  int count_ = 0;
};

}  // namespace platform
