// The tap's runtime as the generated forwarding functions (forward.cpp) see it: the
// target's functions, whether this call is recorded, and the builder of a call's entry.
#pragma once

#include <dlfcn.h>

#include <atomic>
#include <cstddef>
#include <cstdint>

#define QXTAP_EXPORT __attribute__((visibility("default")))

typedef void (*qxi_event_callback)(const char* text, const char* payload, int payload_len);

namespace qxtap {

// ---- Generated from the library header (forward.cpp)

extern const int kFunctionCount;
extern const char* const kFunctionNames[];
// Per function, the names of its recorded items after the result ("req,res").
extern const char* const kItemNames[];
// Per function, how its result is recorded: void, int32, int64, real or text.
extern const char* const kResultKinds[];
// Binds every target function from the handle; the name of the first one missing, or null.
const char* bind_target(void* handle);

// ---- Runtime (tap.cpp)

// Result plus the most parameter items of any function.
inline constexpr int kMaxItems = 16;

// Per thread: the innermost call or event this thread is inside (what a call made now
// is made inside), the innermost call (what an event delivered now is delivered inside),
// and whether the thread is running the target's code for a recorded call.
struct ThreadState {
    std::uint64_t scope;
    std::uint64_t call;
    int call_fn;
    std::uint32_t tid;
    bool in_target;
};
// __thread: plain thread-local storage, read without a wrapper call.
extern __thread ThreadState t_state __attribute__((tls_model("initial-exec")));

extern std::atomic<bool> g_ready;
extern std::atomic<bool> g_recording;
extern std::uintptr_t g_target_begin;
extern std::uintptr_t g_target_size;

inline bool ready() { return g_ready.load(std::memory_order_acquire); }

// Loads the target configured from the environment, or ends the process saying why.
void load_or_die();

// Whether a call returning to `return_address` is recorded: only while recording, and
// never when the target calls one of its own exported functions, which the global
// lookup scope resolves to the tap: those pass straight through. The target is calling
// when this thread is running the target's code for a recorded call (whether it calls
// directly, by a tail call or through a helper library), or, on the target's own
// threads, when the call returns into the target's image.
inline bool observing(const void* return_address) {
    if (!g_recording.load(std::memory_order_relaxed) || t_state.in_target) return false;
    return reinterpret_cast<std::uintptr_t>(return_address) - g_target_begin >= g_target_size;
}

// The receiver the target is given in place of `callback`: it records each event and
// calls `callback` at once with the same arguments. Null stays null.
qxi_event_callback wrap_callback(qxi_event_callback callback);

// One entry being built: a frame of fixed-size fields kept here and of byte ranges
// referenced where they live (requests, responses, texts, payloads) until the entry is
// copied into the buffer.
class Entry {
public:
    explicit Entry(std::uint8_t kind);

    void u8(std::uint8_t v) { put(&v, 1); }
    void u16(std::uint16_t v) { put(&v, 2); }
    void u32(std::uint32_t v) { put(&v, 4); }
    void u64(std::uint64_t v) { put(&v, 8); }
    void i32(std::int32_t v) { put(&v, 4); }
    void i64(std::int64_t v) { put(&v, 8); }
    void f64(double v) { put(&v, 8); }
    // Where the next fixed-size field goes, for patch_u8.
    std::size_t mark() const { return fixed_used_; }
    void patch_u8(std::size_t at, std::uint8_t v) { fixed_[at] = v; }
    // Refers to n bytes at data, read when the entry is copied.
    void bytes(const void* data, std::size_t n);

    // Item encodings (see tap/README.md).
    void text(const char* text);
    void payload(const char* data, int length);
    void redacted(bool null);

    struct Span {
        const std::uint8_t* data;
        std::size_t size;
    };
    // Closes the frame (writes its length) and returns its pieces.
    const Span* finish(int* count, std::size_t* total);

private:
    void put(const void* data, std::size_t n);
    void cut();

    static constexpr std::size_t kFixedBytes = 64 + kMaxItems * 16;
    static constexpr int kMaxSpans = 2 * kMaxItems + 4;
    std::uint8_t fixed_[kFixedBytes];
    std::size_t fixed_used_ = 0;
    std::size_t fixed_cut_ = 0;
    Span spans_[kMaxSpans];
    int span_count_ = 0;
    std::size_t total_ = 0;
};

// The entry of one call: opened before the target is called (sequence number, start
// time, the call or event it is made inside), filled after it returns, then committed.
class CallRecord {
public:
    explicit CallRecord(int fn);
    ~CallRecord();
    CallRecord(const CallRecord&) = delete;
    CallRecord& operator=(const CallRecord&) = delete;

    void stop();

    // Item 0: the result.
    void void_();
    void int32(int result);
    void int64(long long result);
    void real(double result);
    void text(const char* result);

    // Items 1..n: the parameters, in C order.
    void text(int item, const char* text);
    void request(int item, const char* data, int length);
    void response(int item, char** data, int* length);
    void stored_text(int item, char** text);
    void int32(int item, int value);
    void boolean(int item, bool value);
    void real(int item, double value);
    void callback(int item, qxi_event_callback callback);

    void commit();

private:
    bool secret(int item) const;

    int fn_;
    std::uint64_t seq_;
    std::uint64_t outer_scope_;
    std::uint64_t outer_call_;
    int outer_call_fn_;
    std::int64_t start_ns_;
    std::int64_t duration_ns_ = 0;
    std::uint8_t items_ = 0;
    std::size_t count_at_ = 0;
    Entry entry_;
};

}  // namespace qxtap
