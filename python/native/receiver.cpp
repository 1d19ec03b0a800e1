#include "receiver.h"

#include <cstdint>
#include <map>
#include <new>
#include <optional>
#include <string>
#include <vector>

#include "args.h"
#include "errors.h"
#include "fact_dict.h"
#include "py_ref.h"
#include "requests/decompress_packet.h"
#include "scratch.h"

namespace vm::py {

// The slots are filled by init_*_type(); only the object header is set here.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"
PyTypeObject receiver_type = {PyVarObject_HEAD_INIT(nullptr, 0)};
#pragma GCC diagnostic pop

namespace {

struct ReceiverObject {
  PyObject_HEAD
  // Set once by __init__ and never changed: the GIL-free part of receive_many reads them.
  bool bound;
  std::uint64_t ctx_id;
  std::optional<std::string> root;
  int precision;  // readings at 10^-precision; -1: the library's view (10^-4)
  bool state_check;  // heartbeats and diffs must carry the state check
  bool defer_saves;  // changed devices wait for save()
  // Packets this receiver could not rebuild, per (device, template), until a full packet
  // of that template arrives. Touched only with the GIL held.
  std::map<std::pair<std::uint32_t, std::uint32_t>, std::uint64_t> unknown;
};

ReceiverObject* as_receiver(PyObject* self) { return reinterpret_cast<ReceiverObject*>(self); }

std::optional<std::string_view> root_of(const ReceiverObject* r) {
  if (!r->root) return std::nullopt;
  return std::string_view(*r->root);
}

ReceiveOptions options_of(const ReceiverObject* r) {
  return {.state_check = r->state_check, .defer_save = r->defer_saves, .once = false};
}

PyObject* receiver_new(PyTypeObject* type, PyObject*, PyObject*) {
  PyObject* self = type->tp_alloc(type, 0);
  if (self == nullptr) return nullptr;
  ReceiverObject* r = as_receiver(self);
  r->bound = false;
  r->ctx_id = 0;
  new (&r->root) std::optional<std::string>();
  r->precision = -1;
  r->state_check = true;
  r->defer_saves = false;
  new (&r->unknown) decltype(r->unknown)();
  return self;
}

void receiver_dealloc(PyObject* self) {
  as_receiver(self)->root.~optional();
  using Unknown = decltype(ReceiverObject::unknown);
  as_receiver(self)->unknown.~Unknown();
  Py_TYPE(self)->tp_free(self);
}

int receiver_init(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"ctx_id", "registry_root", "precision", "state_check", nullptr};
  PyObject* ctx_object = nullptr;
  PyObject* root_object = Py_None;
  PyObject* precision_object = Py_None;
  int state_check = 1;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|$OOOp:Receiver", const_cast<char**>(keywords), &ctx_object,
                                   &root_object, &precision_object, &state_check))
    return -1;
  ReceiverObject* r = as_receiver(self);
  if (r->bound) {
    PyErr_SetString(PyExc_TypeError, "a Receiver is initialized once");
    return -1;
  }
  std::uint64_t ctx_id = 0;
  if (ctx_object != nullptr && !read_ctx_id(ctx_object, ctx_id)) return -1;
  std::optional<std::string> root;
  if (!read_registry_root(root_object, root)) return -1;
  int precision = -1;
  if (precision_object != Py_None) {
    const long p = PyLong_Check(precision_object) && !PyBool_Check(precision_object) ? PyLong_AsLong(precision_object) : -1;
    if (p < 0 || p > 18) {
      PyErr_Clear();
      PyErr_Format(PyExc_ValueError, "precision must be None or an int from 0 to 18, not %R", precision_object);
      return -1;
    }
    precision = static_cast<int>(p);
  }
  r->precision = precision;
  r->state_check = state_check != 0;
  r->ctx_id = ctx_id;
  r->root = std::move(root);
  r->bound = true;
  return 0;
}

bool check_bound(const ReceiverObject* r) {
  if (r->bound) return true;
  PyErr_SetString(PyExc_TypeError, "the Receiver was not initialized");
  return false;
}

// Refusals that only a full packet of the template mends.
bool asks_full_packet(PacketRefusal why) noexcept {
  return why == PacketRefusal::unknown_template || why == PacketRefusal::state_mismatch;
}

// Answers straight as Python objects, with the GIL held: the fact dict, or the exception.
// Keeps the count of packets that could not be rebuilt; with the GIL held.
void note_outcome(ReceiverObject* r, bool needs_full, bool full, const HeaderInfo* header) {
  if (header == nullptr) return;
  const std::pair<std::uint32_t, std::uint32_t> key{header->source_aid, header->tid};
  if (needs_full)
    ++r->unknown[key];
  else if (full && !r->unknown.empty())
    r->unknown.erase(key);
}

class DictAnswer final : public PacketAnswerSink {
 public:
  explicit DictAnswer(ReceiverObject* r) : r_(r) {}
  void refused(PacketRefusal why, const HeaderInfo* header) override {
    note_outcome(r_, asks_full_packet(why), false, header);
    result_ = refusal_error("receive", why, header);
    is_error_ = true;
  }
  void crc_mismatch(const HeaderInfo& header) override {
    result_ = checksum_error("receive", header);
    is_error_ = true;
  }
  void fact(std::string_view text, const HeaderInfo& header) override {
    note_outcome(r_, false, header.base_cmd == 63, &header);
    result_ = fact_dict(text, header, r_->precision);
  }
  bool takes_members() const noexcept override { return true; }
  void fact_members(const CompactFactMembers& fact, const HeaderInfo& header) override {
    note_outcome(r_, false, false, &header);
    result_ = fact_members_dict(fact, header, r_->precision);
  }

  ReceiverObject* r_;

  // The new reference made (or null with an exception set), and whether it is an error.
  PyObject* result_ = nullptr;
  bool is_error_ = false;
};

// The packet's bytes: a bytes object is read in place; other buffers are copied into
// `copy`, since they may change.
bool packet_bytes(PyObject* packet, std::string& copy, std::string_view& out) {
  if (PyBytes_Check(packet)) {
    out = std::string_view(PyBytes_AS_STRING(packet), static_cast<std::size_t>(PyBytes_GET_SIZE(packet)));
    return true;
  }
  Py_buffer view;
  if (PyObject_GetBuffer(packet, &view, PyBUF_SIMPLE) < 0) {
    PyErr_Clear();
    PyErr_Format(PyExc_TypeError, "a packet must be bytes or another bytes-like object, not %s",
                 Py_TYPE(packet)->tp_name);
    return false;
  }
  copy.assign(static_cast<const char*>(view.buf), static_cast<std::size_t>(view.len));
  PyBuffer_Release(&view);
  out = copy;
  return true;
}

PyObject* receiver_receive(PyObject* self, PyObject* packet) {
  ReceiverObject* r = as_receiver(self);
  if (!check_bound(r)) return nullptr;
  Scratch<std::string> copy;
  std::string_view bytes;
  if (!packet_bytes(packet, *copy, bytes)) return nullptr;
  DictAnswer answer(r);
  decompress_packet(r->ctx_id, bytes, root_of(r), options_of(r), answer);
  return answer.is_error_ ? raise(answer.result_) : answer.result_;
}

// Outcomes kept while the GIL is released, turned into objects afterwards.
class RecordedAnswers final : public PacketAnswerSink {
 public:
  enum class Kind : std::uint8_t { fact, refused, crc_mismatch };
  struct Entry {
    Kind kind;
    PacketRefusal why;
    bool has_header;
    HeaderInfo header;
    std::size_t text_end;  // the fact's text ends here in texts_
  };

  void clear() noexcept {
    entries_.clear();
    texts_.clear();
  }
  void refused(PacketRefusal why, const HeaderInfo* header) override {
    entries_.push_back({Kind::refused, why, header != nullptr, header ? *header : HeaderInfo{}, texts_.size()});
  }
  void crc_mismatch(const HeaderInfo& header) override {
    entries_.push_back({Kind::crc_mismatch, PacketRefusal::too_short, true, header, texts_.size()});
  }
  void fact(std::string_view text, const HeaderInfo& header) override {
    texts_.append(text);
    entries_.push_back({Kind::fact, PacketRefusal::too_short, true, header, texts_.size()});
  }

  // A new list of dicts and exception instances, or null with an exception set.
  PyObject* to_list(ReceiverObject* r) const {
    Ref list(PyList_New(static_cast<Py_ssize_t>(entries_.size())));
    if (!list) return nullptr;
    std::size_t start = 0;
    for (std::size_t i = 0; i < entries_.size(); ++i) {
      const Entry& e = entries_[i];
      PyObject* item = nullptr;
      switch (e.kind) {
        case Kind::fact:
          note_outcome(r, false, e.header.base_cmd == 63, &e.header);
          item = fact_dict(std::string_view(texts_.data() + start, e.text_end - start), e.header, r->precision);
          break;
        case Kind::refused:
          note_outcome(r, asks_full_packet(e.why), false, e.has_header ? &e.header : nullptr);
          item = refusal_error("receive_many", e.why, e.has_header ? &e.header : nullptr);
          break;
        case Kind::crc_mismatch:
          item = checksum_error("receive_many", e.header);
          break;
      }
      start = e.text_end;
      if (item == nullptr) return nullptr;
      PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
    }
    return list.release();
  }

 private:
  std::vector<Entry> entries_;
  std::string texts_;
};

struct ManyScratch {
  std::vector<std::string_view> packets;
  std::vector<std::size_t> copied;  // indexes of packets copied into `copies`
  std::string copies;
  std::vector<std::size_t> copy_ends;
  std::string copy;
  RecordedAnswers answers;
};

PyObject* receiver_receive_many(PyObject* self, PyObject* packets) {
  ReceiverObject* r = as_receiver(self);
  if (!check_bound(r)) return nullptr;
  // A tuple of its own keeps every bytes object alive while the GIL is released.
  Ref held(PySequence_Tuple(packets));
  if (!held) return nullptr;
  Scratch<ManyScratch> scratch;
  ManyScratch& m = *scratch;
  m.packets.clear();
  m.copied.clear();
  m.copies.clear();
  m.copy_ends.clear();
  m.answers.clear();
  const Py_ssize_t n = PyTuple_GET_SIZE(held.get());
  for (Py_ssize_t i = 0; i < n; ++i) {
    std::string_view bytes;
    if (!packet_bytes(PyTuple_GET_ITEM(held.get(), i), m.copy, bytes)) {
      PyErr_Format(PyExc_TypeError, "item %zd: a packet must be bytes or another bytes-like object", i);
      return nullptr;
    }
    if (!PyBytes_Check(PyTuple_GET_ITEM(held.get(), i))) {
      m.copied.push_back(static_cast<std::size_t>(i));
      m.copies.append(bytes);
      m.copy_ends.push_back(m.copies.size());
    }
    m.packets.push_back(bytes);
  }
  // Copies are placed once all are made (the buffer may have moved while it grew).
  for (std::size_t k = 0, start = 0; k < m.copied.size(); start = m.copy_ends[k++])
    m.packets[m.copied[k]] = std::string_view(m.copies.data() + start, m.copy_ends[k] - start);

  Py_BEGIN_ALLOW_THREADS
  for (std::string_view packet : m.packets) decompress_packet(r->ctx_id, packet, root_of(r), options_of(r), m.answers);
  Py_END_ALLOW_THREADS
  return m.answers.to_list(r);
}

PyObject* receiver_needs_full(PyObject* self, PyObject*) {
  Ref devices(PyDict_New());
  if (!devices) return nullptr;
  std::uint32_t aid = 0;
  std::uint64_t count = 0;
  // Keys are ordered by device, so each device's templates come together.
  const auto flush = [&]() {
    if (count == 0) return true;
    Ref key(PyLong_FromUnsignedLong(aid));
    Ref value(PyLong_FromUnsignedLongLong(count));
    return key && value && PyDict_SetItem(devices.get(), key.get(), value.get()) == 0;
  };
  for (const auto& [device_template, packets] : as_receiver(self)->unknown) {
    if (device_template.first != aid || count == 0) {
      if (!flush()) return nullptr;
      aid = device_template.first;
      count = 0;
    }
    count += packets;
  }
  if (!flush()) return nullptr;
  return devices.release();
}

PyObject* receiver_get_ctx_id(PyObject* self, void*) {
  return PyLong_FromUnsignedLongLong(as_receiver(self)->ctx_id);
}

PyObject* receiver_get_root(PyObject* self, void*) {
  const auto& root = as_receiver(self)->root;
  if (!root) Py_RETURN_NONE;
  return PyUnicode_FromStringAndSize(root->data(), static_cast<Py_ssize_t>(root->size()));
}

PyObject* receiver_repr(PyObject* self) {
  Ref root(receiver_get_root(self, nullptr));
  if (!root) return nullptr;
  return PyUnicode_FromFormat("Receiver(ctx_id=%llu, registry_root=%R)",
                              static_cast<unsigned long long>(as_receiver(self)->ctx_id), root.get());
}

PyMethodDef kReceiverMethods[] = {
    {"receive", receiver_receive, METH_O,
     "receive($self, packet)\n--\n\n"
     "The fact a packet carries, as a dict equal to the decompress request's JSON answer:\n"
     "``__packet_meta__`` (the header summary), ``id``, ``s``, ``t_raw``, ``s1_id``/``s1_s``/\n"
     "``s1_u``/``s1_v``, ..., ``geohash``, ``url``, ``msg``. A full packet teaches the context\n"
     "its template; heartbeats and differences need it.\n\n"
     "Raises UnknownTemplate or StateMismatch (ask the device for a full packet),\n"
     "ChecksumError or MalformedPacket, all RequestError subclasses carrying the library's\n"
     "text."},
    {"receive_many", receiver_receive_many, METH_O,
     "receive_many($self, packets)\n--\n\n"
     "One result per packet, in order: the fact dict, or the exception instance that\n"
     "receive() would raise (returned, not raised). Runs without the GIL once the packets\n"
     "are read."},
    {"needs_full", receiver_needs_full, METH_NOARGS,
     "needs_full($self)\n--\n\n"
     "The devices that sent packets this receiver could not rebuild (UnknownTemplate) or\n"
     "refused because its state was not theirs (StateMismatch) since\n"
     "their last full packet of that template, as a dict of device id to the number of such\n"
     "packets. Ask those devices for a full packet over the application's own channel; a\n"
     "device leaves the dict once full packets of its unknown templates have arrived."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef kReceiverGetSet[] = {
    {"ctx_id", receiver_get_ctx_id, nullptr, "The context number whose templates the receiver uses.", nullptr},
    {"registry_root", receiver_get_root, nullptr, "The registry directory, or None.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

}  // namespace

bool init_receiver_type() {
  PyTypeObject& t = receiver_type;
  t.tp_name = "tavkin.Receiver";
  t.tp_basicsize = sizeof(ReceiverObject);
  t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE;
  t.tp_doc =
      "Receiver(*, ctx_id=0, registry_root=None, precision=None, state_check=True)\n--\n\n"
      "Wire packets to fact dicts with the templates of context ``ctx_id`` (shared with\n"
      "every other user of that context in the process, the C exports included), mirrored\n"
      "to the device files under ``registry_root`` when given. Any thread may use it.\n\n"
      "Reading values are the library's view (the integer over 10**4) unless ``precision`` is\n"
      "given: then they are the integer over 10**precision, the values the sender's\n"
      "compressor of that precision kept.\n\n"
      "With ``state_check`` (the default) every heartbeat and difference must carry the\n"
      "state check that a Sender with ``state_check=True`` writes: a packet whose fact would\n"
      "not be the one sent raises StateMismatch and changes nothing, and its template is\n"
      "refused until a full packet arrives. ``state_check=False`` decodes the published\n"
      "packets, whose last body byte is not examined.";
  t.tp_new = receiver_new;
  t.tp_init = receiver_init;
  t.tp_dealloc = receiver_dealloc;
  t.tp_repr = receiver_repr;
  t.tp_methods = kReceiverMethods;
  t.tp_getset = kReceiverGetSet;
  return PyType_Ready(&t) == 0;
}

}  // namespace vm::py
