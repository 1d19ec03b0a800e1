// A fact given as a Python dict, read in the shape that compression takes (see
// compressor/fact_text_writer.h): "id", "s", "timestamp", "readings" (a list or tuple of
// dicts with exactly "id", "s", "v", "u") and the optional "geohash", "url" and "msg"
// (None or missing means absent); an "aid" key is allowed and ignored, any other key is
// refused. Texts are str (viewed as their UTF-8, nothing copied), numbers int or float.
// On a fault the reader sets a Python exception that names the item and the field and
// gives an empty optional. With the GIL held; the views stay valid while the reader lives
// (it holds a reference to every object it read).
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "compressor/fact_record.h"
#include "python_api.h"

namespace vm::py {

class DictFactReader {
 public:
  // `item`: the fact's index in a list of items, named in errors; -1 for a single fact.
  DictFactReader(PyObject* fact, Py_ssize_t item) noexcept : fact_(fact), item_(item) {}
  DictFactReader(const DictFactReader&) = delete;
  DictFactReader& operator=(const DictFactReader&) = delete;
  ~DictFactReader();

  [[nodiscard]] std::optional<FactHeader> header();
  [[nodiscard]] std::optional<SensorReadingView> next_reading();
  [[nodiscard]] std::optional<FactTrailers> trailers();
  [[nodiscard]] std::size_t readings_room() const noexcept { return static_cast<std::size_t>(count_); }

 private:
  // The value under `key` of `dict` as a new reference kept until the reader ends; null
  // when missing (no exception) or on a lookup error (exception set, `failed` true).
  PyObject* lookup(PyObject* dict, PyObject* key, bool& failed);
  [[nodiscard]] bool text(PyObject* value, std::string_view& out, const char* field, Py_ssize_t reading);
  [[nodiscard]] bool number(PyObject* value, double& out, const char* field, Py_ssize_t reading);
  // Raises `type` with "<item N: >fact[...]<field> <message>".
  void fail(PyObject* type, const char* field, Py_ssize_t reading, const std::string& message) const;

  // Keeps `o` (a new reference) until the reader ends. A fact of a few readings fits the
  // inline slots, so reading one allocates nothing.
  void hold(PyObject* o) {
    if (held_count_ < kInlineHeld)
      held_[held_count_++] = o;
    else
      more_held_.push_back(o);
  }

  static constexpr std::size_t kInlineHeld = 48;

  PyObject* fact_;
  Py_ssize_t item_;
  PyObject* readings_ = nullptr;  // held
  Py_ssize_t count_ = 0;
  Py_ssize_t next_ = 0;
  PyObject* held_[kInlineHeld];
  std::size_t held_count_ = 0;
  std::vector<PyObject*> more_held_;
};

// Facts read whole while the GIL is held and copied into one buffer, so that they can be
// compressed after the GIL is released (the dicts may change meanwhile; the copies do not).
class FactBatch {
 public:
  void clear() noexcept;
  // Reads `fact` whole and appends its copy; false with a Python exception set on a fault.
  [[nodiscard]] bool add(PyObject* fact, Py_ssize_t item);
  [[nodiscard]] std::size_t size() const noexcept { return facts_.size(); }

  // Replays fact `index` in the reader shape. Valid once every fact has been added.
  class Reader {
   public:
    Reader(const FactBatch& batch, std::size_t index) noexcept : batch_(batch), index_(index) {}
    [[nodiscard]] std::optional<FactHeader> header() const noexcept;
    [[nodiscard]] std::optional<SensorReadingView> next_reading() noexcept;
    [[nodiscard]] std::optional<FactTrailers> trailers() const noexcept;
    [[nodiscard]] std::size_t readings_room() const noexcept;

   private:
    const FactBatch& batch_;
    std::size_t index_;
    std::size_t next_ = 0;
  };

 private:
  struct Span {
    std::size_t at = 0, size = 0;
    bool present = true;
  };
  struct Reading {
    Span id, state, unit;
    double value;
  };
  struct Fact {
    Span id, state;
    double timestamp;
    std::size_t first_reading, reading_count;
    Span geohash, url, msg;
  };

  Span keep(std::string_view text);
  Span keep(const std::optional<std::string_view>& text);
  [[nodiscard]] std::string_view view(const Span& s) const noexcept {
    return std::string_view(text_.data() + s.at, s.size);
  }
  [[nodiscard]] std::optional<std::string_view> optional_view(const Span& s) const noexcept {
    if (!s.present) return std::nullopt;
    return view(s);
  }

  std::string text_;
  std::vector<Reading> readings_;
  std::vector<Fact> facts_;
};

}  // namespace vm::py
