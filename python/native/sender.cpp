#include "sender.h"

#include <cstdint>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <string>
#include <vector>

#include "args.h"
#include "compressor/compressor_table.h"
#include "compressor/fact_text_writer.h"
#include "dict_fact_reader.h"
#include "errors.h"
#include "py_ref.h"
#include "requests/send_fact.h"
#include "contexts/context_cache.h"
#include "scratch.h"

namespace vm::py {

// The slots are filled by init_*_type(); only the object header is set here.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"
PyTypeObject sender_type = {PyVarObject_HEAD_INIT(nullptr, 0)};
#pragma GCC diagnostic pop

namespace {

struct SenderObject {
  PyObject_HEAD
  // Set once by __init__ and never changed: the GIL-free part of send_many reads them.
  bool bound;
  PyObject* compressor_object;  // the tavkin.Compressor given, for the `compressor` attribute
  std::shared_ptr<const FactCompressor> compressor;
  std::uint64_t ctx_id;
  std::optional<std::string> root;
  PyObject* clock;  // the key frames' clock, or null
  KeyFrameRule keyframes;  // counted by the library, per device of the context
  bool state_check;
};

SenderObject* as_sender(PyObject* self) { return reinterpret_cast<SenderObject*>(self); }

std::optional<std::string_view> root_of(const SenderObject* s) {
  if (!s->root) return std::nullopt;
  return std::string_view(*s->root);
}

PyObject* sender_new(PyTypeObject* type, PyObject*, PyObject*) {
  PyObject* self = type->tp_alloc(type, 0);
  if (self == nullptr) return nullptr;
  SenderObject* s = as_sender(self);
  s->bound = false;
  s->compressor_object = nullptr;
  new (&s->compressor) std::shared_ptr<const FactCompressor>();
  s->ctx_id = 0;
  new (&s->root) std::optional<std::string>();
  s->clock = nullptr;
  s->state_check = true;
  s->keyframes = KeyFrameRule{};
  return self;
}

int sender_traverse(PyObject* self, visitproc visit, void* arg) {
  Py_VISIT(as_sender(self)->compressor_object);
  Py_VISIT(as_sender(self)->clock);
  return 0;
}

int sender_clear(PyObject* self) {
  Py_CLEAR(as_sender(self)->compressor_object);
  Py_CLEAR(as_sender(self)->clock);
  return 0;
}

void sender_dealloc(PyObject* self) {
  PyObject_GC_UnTrack(self);
  sender_clear(self);
  SenderObject* s = as_sender(self);
  s->compressor.~shared_ptr();
  s->root.~optional();
  PyTypeObject* type = Py_TYPE(self);
  type->tp_free(self);
}

// The key-frame settings: every (None or an int >= 1), seconds (None or a number > 0) and
// the clock (None for time.monotonic, else a callable giving seconds).
bool read_keyframes(PyObject* every_object, PyObject* seconds_object, PyObject* clock_object, std::uint64_t& every,
                    double& seconds, Ref& clock) {
  if (every_object != Py_None) {
    const unsigned long long v =
        PyLong_Check(every_object) && !PyBool_Check(every_object) ? PyLong_AsUnsignedLongLong(every_object) : 0;
    if (v == 0 || (v == static_cast<unsigned long long>(-1) && PyErr_Occurred())) {
      PyErr_Clear();
      PyErr_Format(PyExc_ValueError, "keyframe_every must be None or an int of at least 1, not %R", every_object);
      return false;
    }
    every = v;
  }
  if (seconds_object != Py_None) {
    seconds = PyBool_Check(seconds_object) ? -1.0 : PyFloat_AsDouble(seconds_object);
    if (seconds == -1.0 && PyErr_Occurred()) PyErr_Clear();
    if (!(seconds > 0)) {
      PyErr_Format(PyExc_ValueError, "keyframe_seconds must be None or a number above 0, not %R", seconds_object);
      return false;
    }
    if (clock_object == Py_None) {
      Ref time_module(PyImport_ImportModule("time"));
      if (!time_module) return false;
      clock.reset(PyObject_GetAttrString(time_module.get(), "monotonic"));
      return static_cast<bool>(clock);
    }
  }
  if (clock_object != Py_None) {
    if (!PyCallable_Check(clock_object)) {
      PyErr_Format(PyExc_TypeError, "clock must be callable, not %s", Py_TYPE(clock_object)->tp_name);
      return false;
    }
    clock.reset(Py_NewRef(clock_object));
  }
  return true;
}

// The key frames' time of a call; false with an exception set when the clock fails.
bool keyframe_now(const SenderObject* s, double& now) {
  now = 0;
  if (s->clock == nullptr || !s->keyframes.enabled()) return true;
  Ref value(PyObject_CallNoArgs(s->clock));
  if (!value) return false;
  now = PyFloat_AsDouble(value.get());
  return !(now == -1.0 && PyErr_Occurred());
}

// With the context's lock held: one prepared fact sent, its key frame forced when due.
SendResult send_one(SenderObject* s, TemplateRegistry& registry, std::uint32_t aid, bool full, std::string_view text,
                    const PreparedFact& prepared, double now, DeferredSaves* deferred, std::string& out) {
  const SendOptions options{
      .force_full = full, .state_check = s->state_check, .key_frames = s->keyframes, .now = now};
  return send_prepared(registry, DeviceId{aid}, options, text, prepared, root_of(s), deferred, out);
}

int sender_init(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"compressor", "ctx_id", "registry_root", "keyframe_every",
                                   "keyframe_seconds", "clock", "state_check", nullptr};
  PyObject* compressor_object;
  PyObject* ctx_object = nullptr;
  PyObject* root_object = Py_None;
  PyObject* every_object = Py_None;
  PyObject* seconds_object = Py_None;
  PyObject* clock_object = Py_None;
  int state_check = 1;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|$OOOOOp:Sender", const_cast<char**>(keywords),
                                   &compressor_object, &ctx_object, &root_object, &every_object, &seconds_object,
                                   &clock_object, &state_check))
    return -1;
  SenderObject* s = as_sender(self);
  if (s->bound) {
    PyErr_SetString(PyExc_TypeError, "a Sender is initialized once");
    return -1;
  }
  std::uint64_t ctx_id = 0;
  if (ctx_object != nullptr && !read_ctx_id(ctx_object, ctx_id)) return -1;
  std::optional<std::string> root;
  if (!read_registry_root(root_object, root)) return -1;
  std::uint64_t every = 0;
  double seconds = 0;
  Ref clock;
  if (!read_keyframes(every_object, seconds_object, clock_object, every, seconds, clock)) return -1;
  Ref handle_object(PyObject_GetAttrString(compressor_object, "handle"));
  if (!handle_object) return -1;
  const unsigned long long handle = PyLong_AsUnsignedLongLong(handle_object.get());
  if (handle == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return -1;
  auto compressor = acquire_compressor(CompressorHandle{handle});
  if (!compressor) {
    PyErr_SetString(errors.tavkin_error, "the compressor is closed");
    return -1;
  }
  Py_INCREF(compressor_object);
  s->compressor_object = compressor_object;
  s->compressor = std::move(compressor);
  s->ctx_id = ctx_id;
  s->root = std::move(root);
  s->clock = clock.release();
  s->keyframes = KeyFrameRule{every, seconds};
  s->state_check = state_check != 0;
  s->bound = true;
  return 0;
}

bool check_bound(const SenderObject* s) {
  if (s->bound) return true;
  PyErr_SetString(PyExc_TypeError, "the Sender was not initialized");
  return false;
}

// The packet outcome of a single send as its Python result.
PyObject* send_result(SendResult outcome, const std::string& packet) {
  switch (outcome) {
    case SendResult::packet:
      return PyBytes_FromStringAndSize(packet.data(), static_cast<Py_ssize_t>(packet.size()));
    case SendResult::undecomposable:
      return raise(request_error("send", "auto_decompose_failed"));
    case SendResult::no_packet:
      break;
  }
  PyErr_SetString(errors.tavkin_error,
                  "send: no packet can carry this fact (a template number above 255, or a changed value longer "
                  "than 255 bytes)");
  return nullptr;
}

struct SendScratch {
  std::string text, packet;
  PreparedFact prepared;
};

PyObject* sender_send(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  SenderObject* s = as_sender(self);
  PyObject* found[3];
  if (!match_arguments("send", args, nargs, kwnames, {"fact", "aid", "full"}, 2, found) || !check_bound(s))
    return nullptr;
  std::uint32_t aid;
  if (!read_aid(found[1], -1, aid)) return nullptr;
  const int full = found[2] == nullptr ? 0 : PyObject_IsTrue(found[2]);
  if (full < 0) return nullptr;
  double now;
  if (!keyframe_now(s, now)) return nullptr;

  Scratch<SendScratch> scratch;
  scratch->text.clear();
  {
    DictFactReader reader(found[0], -1);
    if (!compress_fact_from(*s->compressor, reader, scratch->text)) return nullptr;
  }
  scratch->packet.clear();
  SendResult outcome = prepare_fact(scratch->text, scratch->prepared);
  if (outcome == SendResult::packet) {
    const FusionStatePtr state = context_state_for(s->ctx_id);
    std::lock_guard lock(state->lock);
    outcome = send_one(s, state->registry, aid, full != 0, scratch->text, scratch->prepared, now, nullptr,
                       scratch->packet);
  }
  return send_result(outcome, scratch->packet);
}

struct ManyScratch {
  FactBatch facts;
  std::vector<std::uint32_t> aids;
  std::vector<bool> fulls;
  std::string text;
  std::string texts;
  std::vector<std::size_t> text_ends;
  std::vector<PreparedFact> prepared;  // grown, never shrunk: its buffers are reused
  std::vector<SendResult> ready;
  std::string packets;
  std::vector<std::size_t> packet_ends;  // SIZE_MAX: no packet
  DeferredSaves deferred;
};

constexpr std::size_t kNoPacket = SIZE_MAX;

// Reads every item into `m` (the GIL held); false with an exception naming the item.
bool read_items(PyObject* seq, ManyScratch& m) {
  // The size is read again each time and the item held: reading an item can run Python
  // code (a dict key's __eq__, a flag's __bool__) that changes the list.
  for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(seq); ++i) {
    const Ref held(Py_NewRef(PySequence_Fast_GET_ITEM(seq, i)));
    PyObject* item = held.get();
    if (!PyTuple_Check(item) || PyTuple_GET_SIZE(item) < 2 || PyTuple_GET_SIZE(item) > 3) {
      PyErr_Format(PyExc_TypeError, "item %zd: must be a tuple (aid, fact) or (aid, fact, full), not %.80R", i,
                   item);
      return false;
    }
    std::uint32_t aid;
    if (!read_aid(PyTuple_GET_ITEM(item, 0), i, aid)) return false;
    int full = 0;
    if (PyTuple_GET_SIZE(item) == 3 && (full = PyObject_IsTrue(PyTuple_GET_ITEM(item, 2))) < 0) return false;
    if (!m.facts.add(PyTuple_GET_ITEM(item, 1), i)) return false;
    m.aids.push_back(aid);
    m.fulls.push_back(full != 0);
  }
  return true;
}

// Compresses, fuses and frames every item read, the context locked once for all: the
// part of send_many that runs without the GIL.
void send_items(SenderObject* s, double now, ManyScratch& m) {
  const std::size_t n = m.facts.size();
  for (std::size_t i = 0; i < n; ++i) {
    FactBatch::Reader reader(m.facts, i);
    // Each text is written into a small buffer of its own and then appended: the text
    // writer sizes its string ahead of need, which on the growing list of texts would
    // clear its whole spare room once per fact. Cannot fail: the facts were checked as
    // they were read.
    m.text.clear();
    (void)compress_fact_from(*s->compressor, reader, m.text);
    m.texts.append(m.text);
    m.text_ends.push_back(m.texts.size());
  }
  // Texts are read for sending before the context is locked; none moves from here on.
  if (m.prepared.size() < n) m.prepared.resize(n);
  std::size_t start = 0;
  for (std::size_t i = 0; i < n; ++i) {
    const std::string_view text(m.texts.data() + start, m.text_ends[i] - start);
    start = m.text_ends[i];
    m.ready.push_back(prepare_fact(text, m.prepared[i]));
  }
  const FusionStatePtr state = context_state_for(s->ctx_id);
  std::lock_guard lock(state->lock);
  start = 0;
  for (std::size_t i = 0; i < n; ++i) {
    const std::string_view text(m.texts.data() + start, m.text_ends[i] - start);
    start = m.text_ends[i];
    SendResult result = m.ready[i];
    if (result == SendResult::packet)
      result = send_one(s, state->registry, m.aids[i], m.fulls[i], text, m.prepared[i], now, &m.deferred, m.packets);
    m.packet_ends.push_back(result == SendResult::packet ? m.packets.size() : kNoPacket);
  }
  save_deferred(state->registry, m.deferred, root_of(s));
}

PyObject* packet_list(const ManyScratch& m) {
  const auto n = static_cast<Py_ssize_t>(m.packet_ends.size());
  Ref list(PyList_New(n));
  if (!list) return nullptr;
  std::size_t start = 0;
  for (Py_ssize_t i = 0; i < n; ++i) {
    const std::size_t end = m.packet_ends[static_cast<std::size_t>(i)];
    PyObject* entry;
    if (end == kNoPacket) {
      entry = Py_NewRef(Py_None);
    } else {
      entry = PyBytes_FromStringAndSize(m.packets.data() + start, static_cast<Py_ssize_t>(end - start));
      if (entry == nullptr) return nullptr;
      start = end;
    }
    PyList_SET_ITEM(list.get(), i, entry);
  }
  return list.release();
}

PyObject* sender_send_many(PyObject* self, PyObject* items) {
  SenderObject* s = as_sender(self);
  if (!check_bound(s)) return nullptr;
  Ref seq(PySequence_Fast(items, "send_many() takes a list of (aid, fact) or (aid, fact, full) tuples"));
  if (!seq) return nullptr;
  Scratch<ManyScratch> scratch;
  ManyScratch& m = *scratch;
  m.facts.clear();
  m.aids.clear();
  m.fulls.clear();
  m.texts.clear();
  m.text_ends.clear();
  m.ready.clear();
  m.packets.clear();
  m.packet_ends.clear();
  double now;
  if (!read_items(seq.get(), m) || !keyframe_now(s, now)) return nullptr;
  Py_BEGIN_ALLOW_THREADS
  send_items(s, now, m);
  Py_END_ALLOW_THREADS
  return packet_list(m);
}

PyObject* sender_get_ctx_id(PyObject* self, void*) { return PyLong_FromUnsignedLongLong(as_sender(self)->ctx_id); }

PyObject* sender_get_root(PyObject* self, void*) {
  const auto& root = as_sender(self)->root;
  if (!root) Py_RETURN_NONE;
  return PyUnicode_FromStringAndSize(root->data(), static_cast<Py_ssize_t>(root->size()));
}

PyObject* sender_get_compressor(PyObject* self, void*) {
  PyObject* c = as_sender(self)->compressor_object;
  return Py_NewRef(c != nullptr ? c : Py_None);
}

PyObject* sender_repr(PyObject* self) {
  const SenderObject* s = as_sender(self);
  Ref root(sender_get_root(self, nullptr));
  if (!root) return nullptr;
  return PyUnicode_FromFormat("Sender(ctx_id=%llu, registry_root=%R)", static_cast<unsigned long long>(s->ctx_id),
                              root.get());
}

PyMethodDef kSenderMethods[] = {
    {"send", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(sender_send)),
     METH_FASTCALL | METH_KEYWORDS,
     "send($self, fact, aid, full=False)\n--\n\n"
     "The wire packet of one fact dict of device ``aid``: full the first time its template\n"
     "is seen (or when ``full``), later a heartbeat or a difference packet. The same bytes\n"
     "as compressing the fact and sending it in a run request with ``src_aid``.\n\n"
     "Raises TypeError/ValueError naming the field for a malformed fact or aid (nothing in\n"
     "the context changes then), RequestError for a fact whose text cannot be decomposed,\n"
     "TavkinError when no packet can carry the fact."},
    {"send_many", sender_send_many, METH_O,
     "send_many($self, items)\n--\n\n"
     "Packets for many facts, in order, the context locked once for all of them. Each item\n"
     "is ``(aid, fact)`` or ``(aid, fact, full)``. Returns one entry per item: the packet,\n"
     "or None for a fact that gives none. Every item is checked before any template\n"
     "changes: a bad one raises (naming its index) and the context stays as it was.\n"
     "Runs without the GIL once the items are read."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef kSenderGetSet[] = {
    {"ctx_id", sender_get_ctx_id, nullptr, "The context number whose templates the sender uses.", nullptr},
    {"registry_root", sender_get_root, nullptr, "The registry directory, or None.", nullptr},
    {"compressor", sender_get_compressor, nullptr, "The compressor given.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

}  // namespace

bool init_sender_type() {
  PyTypeObject& t = sender_type;
  t.tp_name = "tavkin.Sender";
  t.tp_basicsize = sizeof(SenderObject);
  t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_BASETYPE;
  t.tp_doc =
      "Sender(compressor, *, ctx_id=0, registry_root=None, keyframe_every=None, keyframe_seconds=None, clock=None,\n"
      "       state_check=True)\n"
      "--\n\n"
      "Fact dicts to wire packets: compression, fusion against the templates of context\n"
      "``ctx_id`` (shared with every other user of that context in the process, the C\n"
      "exports included) and framing, in one native call. ``registry_root`` names the\n"
      "directory of the device files, or None. The sender holds its compressor for its\n"
      "whole life, even if the Compressor object is closed. Any thread may use it.\n\n"
      "Key frames (off by default): with ``keyframe_every=N`` a device's packet travels whole\n"
      "once it has sent N - 1 packets since its last full one; with ``keyframe_seconds=T``\n"
      "once T seconds of ``clock()`` (default time.monotonic, read once per call) have passed\n"
      "since then. They bound how long a receiver that lost a packet or its state gives\n"
      "no facts. The library counts every packet per device of the context, whoever sends\n"
      "it; a device's first packet here that is not full counts as one since a full one.\n\n"
      "With ``state_check`` (the default) heartbeats and differences carry the state check\n"
      "in place of the CRC-8 of their body, so that a Receiver with ``state_check=True``\n"
      "refuses a packet whose rebuilt fact would not be the one sent (StateMismatch)\n"
      "instead of answering it wrong. A receiver that follows the published packets decodes\n"
      "them as before. ``state_check=False`` sends the published bytes.";
  t.tp_new = sender_new;
  t.tp_init = sender_init;
  t.tp_dealloc = sender_dealloc;
  t.tp_traverse = sender_traverse;
  t.tp_clear = sender_clear;
  t.tp_repr = sender_repr;
  t.tp_methods = kSenderMethods;
  t.tp_getset = kSenderGetSet;
  return PyType_Ready(&t) == 0;
}

}  // namespace vm::py
