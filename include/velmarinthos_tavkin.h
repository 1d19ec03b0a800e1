/*
 * velmarinthos_tavkin: the native core of a sensor-telemetry protocol stack.
 *
 * Sensor facts go in as big-endian byte records and leave as one-line compact texts and
 * then as small wire packets; receivers turn packets back into JSON. Templates live in
 * memory per context and persist as one JSON file per device.
 *
 * Conventions
 *  1. Buffers. The caller owns every input and output buffer. Inputs are (pointer, length)
 *     and are read only during the call; outputs are (pointer, capacity) and follow the
 *     input pair. The library never keeps a pointer.
 *  2. The result buffer rule. An export that hands back a text or bytes returns n, the
 *     length written, when out is not NULL and cap >= n; -n when out is NULL or cap < n
 *     (nothing is written); 0 when there is nothing to hand back (NULL or empty input, or
 *     a failure without an error text). An answer of 2 GiB or more does not fit the
 *     int32_t result: the call answers 0 and writes nothing. No terminating NUL is
 *     written, except by vm_tavkin_version and vm_b62_encode_i64, which answer 1/0.
 *  3. The work of a call stands whether or not its answer fits: a retry with a larger
 *     buffer is a new request against the changed state. These calls change templates
 *     before they answer, so they may have changed them although they answer a negative
 *     size, or 0 for an answer of 2 GiB or more: vm_fusion_run_json_v1 and
 *     vm_fusion_relay_json_v1 (size their buffer with VM_PACKET_BOUND),
 *     vm_fusion_decompress_json_v1, vm_pipeline_batch_v1, vm_fusion_state_apply_v1, and
 *     vm_fusion_state_receive_apply_v1 for a difference packet. Their other answers of 0
 *     (bad input, no packet to make, a refused packet) change nothing. A packet that the run,
 *     relay or batch request made but did not hand out (its answer did not fit) is not lost
 *     to receivers: the next packet of its template travels whole, as after a restart. The
 *     receive exports (vm_receive_packet_v1, vm_receive_packets_v1) hand each answer to a
 *     callback instead, so no answer is ever too large for its buffer.
 *  4. NULL pointers and short buffers are never faults.
 *  5. Threads. Every export may be called from any thread. Calls on one context or
 *     handle are serialized inside the library; calls on different ones run in parallel.
 *  6. Never throws. An internal fault (memory exhaustion, a broken invariant) prints a
 *     diagnostic on stderr and aborts the process.
 *  7. Contexts. The JSON requests and the batch request keep templates in memory per
 *     ctx_id. A context unused for more than an hour is dropped, and at most 2048 are
 *     held: a new ctx_id then drops the least recently used one. A dropped context's
 *     templates survive only in the registry files under registry_root; without a
 *     registry_root they are lost, so a sender starts again with full packets and a
 *     receiver refuses heartbeats and differences until their full packet comes again.
 *     Fusion states (vm_fusion_state_*) are not contexts: they live until freed.
 *     vm_receive_packet_v1 and vm_receive_packets_v1 use the same contexts;
 *     vm_context_save_v1 writes what they left unsaved and vm_context_drop_v1 forgets a
 *     context at once.
 */
#ifndef VELMARINTHOS_TAVKIN_H
#define VELMARINTHOS_TAVKIN_H

#include <stddef.h>
#include <stdint.h>

#if defined(__GNUC__)
#define VM_API __attribute__((visibility("default")))
#else
#define VM_API
#endif

#ifdef __cplusplus
#define VM_NOEXCEPT noexcept
extern "C" {
#else
#define VM_NOEXCEPT
#endif

/* The buffer size that holds every answer of vm_fusion_run_json_v1 and
 * vm_fusion_relay_json_v1 for a compact fact of text_len bytes (as decoded from the JSON
 * string, routing prefix included): a packet is at most text_len + 16 bytes, and an error
 * text at most 33. One entry of vm_pipeline_batch_v1 needs 4 bytes more, with text_len
 * the length of the routed text "<aid>;<compact text>". */
#define VM_PACKET_BOUND(text_len) ((size_t)(text_len) + 48u)

/* The buffer size that holds every compact text vm_compress_fact_v1 writes for a fact
 * record of record_len bytes, with longest_code the length of the longest unit or state
 * code in the compressor's configuration (0 without any): each record byte starts at most
 * one unit factor, whose code is at most a value code, ",", a prefix, a mapped code and the
 * factor's own bytes. */
#define VM_COMPACT_TEXT_BOUND(record_len, longest_code) \
  (((size_t)(record_len) + 1u) * (24u + (size_t)(longest_code)) + 64u)

/* ===== Library boundary: version and fixed answers ===================================== */

/* Writes "velmarinthos_tavkin/0.1.0" and a NUL (26 bytes). 1 when written; 0 when buf is
 * NULL or cap < 26 (nothing written). */
VM_API int32_t vm_tavkin_version(uint8_t* buf, size_t cap) VM_NOEXCEPT;

/* Reserved entry points. Their input is never read (any pointer and length, NULL
 * included); each answers a fixed {"ok":false,"error":"<name>_not_implemented"} text by
 * the result buffer rule. */
VM_API int32_t vm_handshake_negotiate_v1(const uint8_t* in, size_t in_len, uint8_t* out, size_t cap) VM_NOEXCEPT;
VM_API int32_t vm_node_dispatch_json_v1(const uint8_t* in, size_t in_len, uint8_t* out, size_t cap) VM_NOEXCEPT;
VM_API int32_t vm_node_ensure_id_json_v1(const uint8_t* in, size_t in_len, uint8_t* out, size_t cap) VM_NOEXCEPT;
VM_API int32_t vm_node_transmit_json_v1(const uint8_t* in, size_t in_len, uint8_t* out, size_t cap) VM_NOEXCEPT;
VM_API int32_t vm_transporter_listen_v1(const uint8_t* in, size_t in_len, uint8_t* out, size_t cap) VM_NOEXCEPT;
VM_API int32_t vm_transporter_send_v1(const uint8_t* in, size_t in_len, uint8_t* out, size_t cap) VM_NOEXCEPT;

/* Answers "{}" (2 bytes) by the result buffer rule, whatever the input. */
VM_API int32_t vm_standardize_json_v1(const uint8_t* in, size_t in_len, uint8_t* out, size_t cap) VM_NOEXCEPT;

/* ===== Wire primitives: checksums ====================================================== */

/* CRC-16, MSB first, no reflection, no final XOR. NULL data or len 0 returns init.
 * The packet trailer uses poly 0x1021, init 0xFFFF. */
VM_API uint16_t vm_crc16_ccitt_pub(const uint8_t* data, size_t len, uint16_t poly, uint16_t init) VM_NOEXCEPT;

/* CRC-8, MSB first, no reflection, no final XOR. NULL data or len 0 returns init.
 * The packet body check uses poly 0x07, init 0x00. */
VM_API uint8_t vm_crc8(const uint8_t* data, size_t len, uint8_t poly, uint8_t init) VM_NOEXCEPT;

/* ===== Wire primitives: Base62 integers ================================================ */

/* Writes the Base62 numeral of value and a NUL into buf. 1 when written; 0 when buf is
 * NULL or too small (at most 13 bytes are needed). */
VM_API int32_t vm_b62_encode_i64(int64_t value, char* buf, size_t cap) VM_NOEXCEPT;

/* Reads a NUL-terminated Base62 numeral (optional "-"), wrapping modulo 2^64. Sets *ok
 * (when not NULL) to 1 on success, 0 on failure; a failure returns 0. */
VM_API int64_t vm_b62_decode_i64(const char* text, int32_t* ok) VM_NOEXCEPT;

/* ===== Wire primitives: command codes and packet header ================================ */

/* 1 for the data commands 63, 64, 127, 128, 170, 171; else 0. */
VM_API int32_t vm_cmd_is_data(uint8_t cmd) VM_NOEXCEPT;
/* The plain code of a secure data command (64->63, 128->127, 171->170); others unchanged. */
VM_API uint8_t vm_cmd_normalize_data(uint8_t cmd) VM_NOEXCEPT;
/* The secure variant of a plain data command (63->64, 127->128, 170->171); others unchanged. */
VM_API uint8_t vm_cmd_secure_variant(uint8_t cmd) VM_NOEXCEPT;

/* Parses a packet header into out[0..8]: cmd, base_cmd, secure, route_count, tid_offset,
 * source_aid, tid, timestamp_raw, crc16_ok. out_slots counts uint64_t slots. 1 when parsed
 * (a bad trailer still parses, with crc16_ok 0); 0 for NULL pointers, len < 5,
 * len < 4 * route_count + 12 or out_slots < 9 (nothing written). */
VM_API int32_t vm_parse_header_min(const uint8_t* packet, size_t len, uint64_t* out, size_t out_slots) VM_NOEXCEPT;

/* ===== Fact compressor ================================================================= */

/* Creates a compressor from a configuration record (big-endian: u32 precision 0..18,
 * u8 ms_timestamps, u32 unit pair count and pairs, u32 state pair count and pairs; each
 * name and code a u32 length and UTF-8 bytes). Returns its handle (1, 2, 3, ...), or 0 when
 * config is NULL, config_len is 0 or the record is malformed. Free it with
 * vm_compressor_free_v1. */
VM_API uint64_t vm_compressor_create_v1(const uint8_t* config, size_t config_len) VM_NOEXCEPT;

/* Frees a compressor handle. 1 when a compressor was registered under it; 0 for 0 or an
 * unknown or already freed handle. Compressions already running on it complete. */
VM_API int32_t vm_compressor_free_v1(uint64_t handle) VM_NOEXCEPT;

/* Compresses a fact record into its one-line compact text, by the result buffer rule.
 * 0 when handle is 0 or unknown, in is NULL, in_len is 0 or the record is malformed (a
 * compact text is never empty). */
VM_API int32_t vm_compress_fact_v1(uint64_t handle, const uint8_t* in, size_t in_len, uint8_t* out, size_t cap) VM_NOEXCEPT;

/* Splits a compact text (an optional routing prefix "<aid>;" is dropped) into the record
 * u32 ts length, u32 sig length, u32 value count, ts, sig, and each value as u32 length and
 * bytes (big-endian), by the result buffer rule. 0 when in is NULL, in_len is 0, the text
 * is not UTF-8 or has no "|" or no "." before its first "|". */
VM_API int32_t vm_auto_decompose_input(const uint8_t* in, size_t in_len, uint8_t* out, size_t cap) VM_NOEXCEPT;

/* ===== Fusion engine: in-memory fusion states ========================================== */

/* Records below are big-endian; a string is a 4-byte length and its bytes; a record must
 * end exactly at in_len. Handles count up from 1000000 and are never reused; a state
 * lives until freed and until the last call using it ends. Nothing touches the disk. */

/* A new handle naming an empty fusion state (never 0). */
VM_API uint64_t vm_fusion_state_create_v1(void) VM_NOEXCEPT;
/* 1 when the handle named a state and was removed; 0 for 0 or an unknown handle. */
VM_API int32_t vm_fusion_state_free_v1(uint64_t handle) VM_NOEXCEPT;
/* Replaces one device's templates whole. Record: aid, K, then K times (tid, sig string,
 * N, N value strings). 1 on success; 0 for an unknown handle, NULL/empty or malformed
 * input (nothing changes then). */
VM_API int32_t vm_fusion_state_seed_v1(uint64_t handle, const uint8_t* data, size_t len) VM_NOEXCEPT;
/* Encodes one fact. Record: aid, force_full byte, sig string, N, N value strings. Answers
 * the decision (command, tid 4 bytes, flags, body length 4 bytes, body) by the result
 * buffer rule; the templates change even when the answer does not fit. 0 for an unknown
 * handle, NULL/empty or malformed input, or no decision. */
VM_API int32_t vm_fusion_state_apply_v1(uint64_t handle, const uint8_t* in, size_t in_len, uint8_t* out, size_t cap) VM_NOEXCEPT;
/* Applies a heartbeat (127) or difference (170) body. Record: aid, command byte, tid,
 * timestamp text string, body string. Answers the rebuilt compact fact by the result
 * buffer rule. 0 for an unknown handle, NULL/empty or malformed input, or a refused
 * packet (which changes nothing). */
VM_API int32_t vm_fusion_state_receive_apply_v1(uint64_t handle, const uint8_t* in, size_t in_len, uint8_t* out, size_t cap) VM_NOEXCEPT;

/* ===== Requests: decompress, run and relay, batch ====================================== */

/* Receives one packet. in: a JSON request {"ctx_id": u64 (default 0), "packet_b64":
 * standard Base64 with padding (required), "registry_root": string or null, "state_check":
 * boolean (default false), "precision": u32 0..18 or null (default null)}, or the same values
 * as an array. Answers the fact as a flat JSON
 * object with the header summary under "__packet_meta__", a
 * {"__packet_meta__":...,"error":"CRC16 mismatch"} or {"__packet_meta__":...,
 * "error":"state_mismatch"} object, or a fixed {"error":"..."} text (invalid_json,
 * invalid_packet_b64, Packet too short, Incomplete Binary Header, unknown_command,
 * fusion_receive_apply_failed), by the result buffer rule. Full and diff packets update the
 * context's templates and the registry files.
 * "state_check": true requires the state check that a checked sender puts in the byte after
 * a heartbeat's or difference's body (see vm_fusion_run_json_v1): the template as it would
 * stand after the packet must give that byte. A packet whose check does not hold is
 * answered "state_mismatch" (its "__packet_meta__" names the device, source_aid, and the
 * template, tid), changes nothing, and leaves the template refused, every later heartbeat
 * and difference of it answered "state_mismatch" too, until a full packet of it arrives.
 * Without it that byte is not examined: checked packets decode exactly as plain ones.
 * "precision": p gives each reading value ("sN_v") as the sender meant it with a compressor
 * of precision p: the integer its value code carries divided by 10^p, correctly rounded (a
 * reading sent as 21.5 at precision 2 answers 21.5). Without it values are the code over
 * 10000. A precision above 18 is invalid_json. */
VM_API int32_t vm_fusion_decompress_json_v1(const uint8_t* in, size_t in_len, uint8_t* out, size_t cap) VM_NOEXCEPT;

/* Sends one compact fact. in: a JSON request {"ctx_id": u64, "raw_input": compact fact
 * text (required), "strategy": "full"/"full_packet" forces a full packet, "src_aid": u32 or
 * null (else the device id is the decimal routing prefix before ";"), "registry_root":
 * string or null, "state_check": boolean (default false)}, or the same values as an array.
 * With "state_check": true a heartbeat or difference carries, in place of the CRC-8 of its
 * body, an 8-bit check of the template's state after the packet (signature and values)
 * folded with the packet's timestamp; full packets are unchanged. A receiver that does not
 * ask for the check ignores that byte and decodes the packet as before; one that asks for
 * it (vm_fusion_decompress_json_v1) refuses a packet whose check does not hold. Without it
 * the packets are the published bytes. Answers the packet's bytes, or
 * {"error":"invalid_json"} / {"error":"auto_decompose_failed"}, by the result buffer rule;
 * 0 when no packet can be made, and then nothing changed. The context's templates change
 * even when the answer does not fit: size the buffer with VM_PACKET_BOUND(fact length).
 * Template numbers stay at most 255 (a device's least recently used template gives its
 * number to a new signature), and the first packet of a template loaded from a registry
 * file is a full packet.
 * Key frames: "keyframe_every": u64 (default 0, off) forces a device's packet whole once it
 * has sent N - 1 packets since its last full one; "keyframe_seconds": number (default 0,
 * off) once that many seconds passed since its last full one, on the clock "now": number of
 * seconds (default: the library's monotonic clock; give it on every request or on none).
 * The count is kept per device in the context, whoever sends, and every packet counts
 * (forced or not); a device first met by a request with key frames counts its first packet
 * that is not full as one since a full one, and with N = 1 every packet is full. So a
 * receiver never waits more than N packets or T seconds for a full packet of a device. */
VM_API int32_t vm_fusion_run_json_v1(const uint8_t* in, size_t in_len, uint8_t* out, size_t cap) VM_NOEXCEPT;

/* The same entry as vm_fusion_run_json_v1, under a second name. */
VM_API int32_t vm_fusion_relay_json_v1(const uint8_t* in, size_t in_len, uint8_t* out, size_t cap) VM_NOEXCEPT;

/* Compresses, fuses and frames many facts under one lock of a context. in (big-endian):
 * compressor handle u64, ctx_id u64, item count N u32, root length word u32, R bytes of
 * registry_root, [key-frame rule], then N items of (aid u32, force-full u8, fact record
 * length u32, fact record). Answers N u32 and one entry per item (packet length u32 and
 * bytes; length 0 for an item without a packet, which changed nothing; the entries stop
 * early after an item cut short), by the result buffer rule; 0 for a short input or an
 * unknown compressor handle. Numbering and full packets after a load as for
 * vm_fusion_run_json_v1. The root length word holds R in its low 30 bits;
 * VM_BATCH_STATE_CHECK asks for state-checked heartbeats and differences for the whole
 * batch, as "state_check": true does for a run request; VM_BATCH_KEY_FRAMES says that the
 * registry_root bytes are followed by a key-frame rule, every u64 and seconds f64 (IEEE 754),
 * as "keyframe_every" and "keyframe_seconds" of a run request, timed by each item's fact
 * record timestamp (its "now"). */
#define VM_BATCH_STATE_CHECK 0x80000000u
#define VM_BATCH_KEY_FRAMES 0x40000000u
VM_API int32_t vm_pipeline_batch_v1(const uint8_t* in, size_t in_len, uint8_t* out, size_t cap) VM_NOEXCEPT;

/* ===== Typed receive =================================================================== */

/* The receiving side without Base64 or JSON on the way in: packets go in as bytes, and
 * each packet's outcome comes back as a number, with the fact JSON of a decoded packet. */

/* What became of one packet. */
#define VM_RECEIVED 0                   /* decoded: fact holds its fact */
#define VM_RECEIVE_UNKNOWN_TEMPLATE 1   /* heartbeat/difference of a template the context holds no values of */
#define VM_RECEIVE_NOT_APPLICABLE 2     /* of a known template that cannot take it (short body, a change past its values, ...) */
#define VM_RECEIVE_CRC_MISMATCH 3
#define VM_RECEIVE_MALFORMED 4          /* too short, incomplete header, or not a data command */
#define VM_RECEIVE_STATE_MISMATCH 5     /* checked heartbeat/difference whose check does not hold */
#define VM_RECEIVE_ALREADY_APPLIED 6    /* with VM_RECEIVE_ONCE: this very packet was applied before; nothing changed, no fact */

/* Flags of vm_receive_packet_v1 / vm_receive_packets_v1. Bits not named here are ignored. */
#define VM_RECEIVE_STATE_CHECK 1u  /* as "state_check": true in the decompress request */
#define VM_RECEIVE_DEFER_SAVE 2u   /* registry files are loaded as needed but not written; changed devices wait for vm_context_save_v1 */
#define VM_RECEIVE_ONCE 4u         /* each device remembers digests of the last VM_RECEIVE_ONCE_WINDOW packets applied to it (kept in its registry file); a packet met again answers VM_RECEIVE_ALREADY_APPLIED */
#define VM_RECEIVE_ONCE_WINDOW 64
/* Bits 8 to 12 of the flags: VM_RECEIVE_PRECISION(p), p from 0 to 18, gives each reading
 * value of a fact as the sender meant it at precision p (its integer code divided by 10^p,
 * as "precision" does in the decompress request). 0 there (and 20 to 31): ten-thousandths. */
#define VM_RECEIVE_PRECISION_SHIFT 8
#define VM_RECEIVE_PRECISION_MASK (31u << VM_RECEIVE_PRECISION_SHIFT)
#define VM_RECEIVE_PRECISION(p) (((uint32_t)(p) + 1u) << VM_RECEIVE_PRECISION_SHIFT)

typedef struct vm_received_v1 {
  int32_t outcome;        /* VM_RECEIVED or VM_RECEIVE_* */
  uint8_t command;        /* the base data command (63, 127, 170); 0 when the header did not read */
  uint8_t tid;            /* template number */
  uint32_t source_aid;    /* the device; 0 when the header did not read */
  uint64_t timestamp;     /* the packet's 48-bit timestamp field as a number */
  const uint8_t* fact;    /* outcome VM_RECEIVED: the fact JSON, byte for byte what vm_fusion_decompress_json_v1 answers; else NULL */
  size_t fact_len;
} vm_received_v1;

/* Called once per packet, in order, outside every library lock; the pointers are valid only
 * during the call. A callback may call the library again, on this context too. */
typedef void (*vm_receive_callback_v1)(void* user, const vm_received_v1* received);

/* Receives one packet given as bytes (no Base64, no JSON) in context ctx_id, loading device
 * files from root (root_len 0: none). Answers 1 when the callback was called, 0 for a NULL
 * callback or packet pointer with a non-zero length (or a NULL root with a non-zero
 * root_len), when nothing happens.
 * The packet is received as by vm_fusion_decompress_json_v1 (its effects on templates and
 * files, and its fact, are the same), with these differences: VM_RECEIVE_STATE_CHECK asks
 * for the state check; the refusal "fusion_receive_apply_failed" is told apart as
 * VM_RECEIVE_UNKNOWN_TEMPLATE (the context holds no values of the template) or
 * VM_RECEIVE_NOT_APPLICABLE; a fact too large to answer ({"error":"invalid_json"} from the
 * request) is VM_RECEIVE_MALFORMED. A header that reads (every outcome but a packet too short
 * or with an incomplete header) fills command (the base command, which is not a data command
 * for VM_RECEIVE_MALFORMED), tid, source_aid and timestamp.
 * VM_RECEIVE_DEFER_SAVE: the packet's changes stay in memory, its device marked changed,
 * until vm_context_save_v1 writes them; a context dropped before that (by vm_context_drop_v1,
 * or by the cache after an hour idle or to make room, see convention 7) loses them, and
 * after a drop by the cache vm_context_save_v1 answers -1 until vm_context_drop_v1 is called.
 * VM_RECEIVE_ONCE: a packet whose bytes were among the last VM_RECEIVE_ONCE_WINDOW packets
 * applied to its device with this flag answers VM_RECEIVE_ALREADY_APPLIED before anything
 * is examined beyond its header and trailer, so a packet delivered again after its effects
 * were saved is not applied twice; every packet that answers VM_RECEIVED under this flag
 * (heartbeats too) joins the window and changes the device, saved with its file (at once, or
 * by vm_context_save_v1 with VM_RECEIVE_DEFER_SAVE). Devices whose window is empty keep
 * exactly the files written without the flag. */
VM_API int32_t vm_receive_packet_v1(uint64_t ctx_id, const uint8_t* root, size_t root_len, uint32_t flags,
                                    const uint8_t* packet, size_t packet_len, vm_receive_callback_v1 callback,
                                    void* user) VM_NOEXCEPT;

/* Many packets in one call: packets is N entries of (length u32 big-endian, bytes). Calls
 * back once per entry, in order; answers the number of entries called back, or -1 when the
 * framing breaks (after calling back the entries before the break): an entry whose length
 * word or bytes run past packets_len, or an entry after the first 2^31 - 1. 0, calling
 * nothing, for a NULL callback or a NULL pointer with a non-zero length. Each entry is
 * received as by vm_receive_packet_v1 with the same flags. */
VM_API int32_t vm_receive_packets_v1(uint64_t ctx_id, const uint8_t* root, size_t root_len, uint32_t flags,
                                     const uint8_t* packets, size_t packets_len, vm_receive_callback_v1 callback,
                                     void* user) VM_NOEXCEPT;

/* ===== Contexts ======================================================================== */

#define VM_SAVE_FSYNC 1u
/* Writes the registry file of every device of the context whose templates (or remembered
 * packets) changed since they were last written, to root, through the library's one safe
 * writer (exclusive temporary file without following links, rename over the old file). With
 * VM_SAVE_FSYNC each file's data reach the disk before its rename, and the directories after
 * the renames, so the files survive a power loss. Answers the number of files written (0 or
 * more), or -1 when any could not be written (those devices stay changed and the next call
 * writes them again; the caller must not treat its work as saved). A failed file counts in
 * vm_registry_save_failures_v1 and leaves no stale file to trust, as any failed save does.
 * A context that is not held answers 0; a NULL or empty root (or one with a NUL byte)
 * answers -1 when devices wait, else 0. The call also answers -1 (after writing what waits)
 * once the library dropped the context while changes waited (idle for an hour, or to make
 * room, see convention 7), and until vm_context_drop_v1 acknowledges it: those changes are
 * lost. Other flag bits are ignored. */
VM_API int32_t vm_context_save_v1(uint64_t ctx_id, const uint8_t* root, size_t root_len, uint32_t flags) VM_NOEXCEPT;

/* Forgets the context's templates in memory (unsaved changes are lost, which is the point:
 * a host that lost its right to a partition starts again from the files). Answers 1 when the
 * context was held, 0 otherwise. A call already working on the context finishes on the
 * templates it holds; the next call gets a fresh context that loads from the files. */
VM_API int32_t vm_context_drop_v1(uint64_t ctx_id) VM_NOEXCEPT;

/* ===== Registry files ================================================================== */

/* The number of registry-file saves that failed in this process since it started, over
 * every context and root: a directory, temporary file or rename that could not be made (a
 * full disk, a read-only file system, a directory without write permission). The request
 * that saved still succeeds. The device's old file, now behind its templates in memory, is
 * removed; when even that fails, this process never loads it again (a process started
 * later cannot tell it is stale). The next change of the device saves again. Never
 * decreases; a rising count means the files under registry_root no longer follow memory. */
VM_API uint64_t vm_registry_save_failures_v1(void) VM_NOEXCEPT;

#ifdef __cplusplus
}
#endif

#endif /* VELMARINTHOS_TAVKIN_H */
