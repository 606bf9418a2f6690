// The tap's runtime: loading the target, the settings, the call and event entries, the
// event receiver it puts in front of the caller's, and its control interface (qxtap_).
#include "tap.hpp"

#include <link.h>
#include <pthread.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <utility>

#include "qxtap.h"
#include "recorder.hpp"

namespace qxtap {

__thread ThreadState t_state __attribute__((tls_model("initial-exec"))) = {0, 0, -1, 0, false};
std::atomic<bool> g_ready{false};
std::atomic<bool> g_recording{false};
std::uintptr_t g_target_begin = 0;
std::uintptr_t g_target_size = 0;

namespace {

// What never reaches the recording in clear unless redaction is turned off: a
// function's item by name ("result" for its result). The only list of secrets.
struct Secret {
    const char* function;
    const char* item;
};
constexpr Secret kSecrets[] = {
    {"qxi_set_token", "token"},       {"qxi_set_apitoken", "token"},    {"qxi_set_ctp_md_info", "password"},
    {"qxi_set_bus_info", "password"}, {"qxi_set_bus_secure", "tlskey"}, {"qxi_get_encrypted_token", "result"},
};

constexpr int kMaxFunctions = 512;
constexpr std::size_t kDefaultBuffer = std::size_t{64} << 20;
constexpr std::uint16_t kNoFunction = 0xFFFF;

struct Settings {
    std::string target;
    std::string record;  // empty: forward only
    bool redact = true;
    bool wait_when_full = false;
    std::size_t buffer_bytes = kDefaultBuffer;
};

std::mutex g_start_mutex;
bool g_configured = false;  // settings taken (from the environment or qxtap_start)
Settings g_settings;
std::string g_error;
// Never freed: calls and events may still be in flight on other threads at exit.
Recorder* g_recorder = nullptr;
std::uint32_t g_secret_masks[kMaxFunctions];  // bit i: item i is a secret (0: the result)
std::atomic<std::uint64_t> g_next_seq{1};
std::atomic<std::uint64_t> g_unwrapped{0};

std::int64_t now_ns() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return std::int64_t{ts.tv_sec} * 1000000000 + ts.tv_nsec;
}

std::int64_t unix_ns() {
    timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    return std::int64_t{ts.tv_sec} * 1000000000 + ts.tv_nsec;
}

std::uint32_t thread_id() {
    if (t_state.tid == 0) t_state.tid = static_cast<std::uint32_t>(syscall(SYS_gettid));
    return t_state.tid;
}

void json_string(std::string& out, const std::string& text) {
    out += '"';
    for (unsigned char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
            out += escaped;
        } else {
            out += static_cast<char>(c);
        }
    }
    out += '"';
}

int function_index(const char* name) {
    for (int i = 0; i < kFunctionCount; ++i)
        if (std::strcmp(kFunctionNames[i], name) == 0) return i;
    return -1;
}

// Index of a named item of a function: 0 for "result", 1.. for its parameters' items.
int item_index(int fn, const char* item) {
    if (std::strcmp(item, "result") == 0) return 0;
    std::string names = kItemNames[fn];
    int index = 1;
    std::size_t start = 0;
    for (;;) {
        std::size_t end = names.find(',', start);
        if (names.compare(start, end == std::string::npos ? std::string::npos : end - start, item) == 0)
            return index;
        if (end == std::string::npos) return -1;
        start = end + 1;
        ++index;
    }
}

const std::string& secret_names() {
    static const std::string names = [] {
        std::string out;
        for (const Secret& secret : kSecrets) {
            if (!out.empty()) out += ',';
            out += std::string(secret.function) + "." + secret.item;
        }
        return out;
    }();
    return names;
}

// Fills the secret masks; false (naming the entry) when the list names an unknown item.
bool resolve_secrets(bool redact, std::string* error) {
    std::memset(g_secret_masks, 0, sizeof g_secret_masks);
    for (const Secret& secret : kSecrets) {
        int fn = function_index(secret.function);
        int item = fn < 0 ? -1 : item_index(fn, secret.item);
        if (item < 0) {
            *error = std::string("the list of secrets names an unknown item: ") + secret.function + "." +
                     secret.item;
            return false;
        }
        if (redact) g_secret_masks[fn] |= std::uint32_t{1} << item;
    }
    return true;
}

// Appends only (GCC 12 warns wrongly about string concatenation at -O3 with sanitizers).
std::string header_json(const Settings& settings) {
    std::string json = "{\"format\":";
    json += std::to_string(kFormatVersion);
    json += ",\"producer\":\"qxsdk-tap\",\"pid\":";
    json += std::to_string(getpid());
    json += ",\"target\":";
    json_string(json, settings.target);
    json += ",\"started_ns\":";
    json += std::to_string(now_ns());
    json += ",\"started_unix_ns\":";
    json += std::to_string(unix_ns());
    json += ",\"buffer_bytes\":";
    json += std::to_string(settings.buffer_bytes);
    json += settings.wait_when_full ? ",\"on_full\":\"wait\"" : ",\"on_full\":\"drop\"";
    json += ",\"redacted\":[";
    for (std::size_t i = 0; settings.redact && i < std::size(kSecrets); ++i) {
        json += i ? ",\"" : "\"";
        json += kSecrets[i].function;
        json += '.';
        json += kSecrets[i].item;
        json += '"';
    }
    // Per function: [name, [item names after the result], result kind].
    json += "],\"functions\":[";
    for (int i = 0; i < kFunctionCount; ++i) {
        json += i ? ",[\"" : "[\"";
        json += kFunctionNames[i];
        json += "\",[";
        if (*kItemNames[i]) {
            json += '"';
            for (const char* c = kItemNames[i]; *c; ++c) {
                if (*c == ',')
                    json += "\",\"";
                else
                    json += *c;
            }
            json += '"';
        }
        json += "],\"";
        json += kResultKinds[i];
        json += "\"]";
    }
    json += "]}";
    return json;
}

// The address range of a loaded object's segments.
struct ImageSearch {
    std::uintptr_t base;
    const char* name;
    std::uintptr_t begin;
    std::uintptr_t end;
};

int find_image(dl_phdr_info* info, std::size_t, void* data) {
    auto* search = static_cast<ImageSearch*>(data);
    if (info->dlpi_addr != search->base || std::strcmp(info->dlpi_name, search->name) != 0) return 0;
    for (int i = 0; i < info->dlpi_phnum; ++i) {
        const ElfW(Phdr)& segment = info->dlpi_phdr[i];
        if (segment.p_type != PT_LOAD) continue;
        std::uintptr_t begin = info->dlpi_addr + segment.p_vaddr;
        std::uintptr_t end = begin + segment.p_memsz;
        if (search->begin == 0 || begin < search->begin) search->begin = begin;
        if (end > search->end) search->end = end;
    }
    return 1;
}

void self_anchor() {}

void before_fork() {
    if (g_recorder) g_recorder->before_fork();
}
void after_fork_in_parent() {
    if (g_recorder) g_recorder->after_fork_in_parent();
}
void after_fork_in_child() {
    // The child forwards but does not record: the file and its writer are the parent's.
    g_recording.store(false, std::memory_order_relaxed);
    if (g_recorder) g_recorder->after_fork_in_child();
}

// Loads the target and, when asked, opens the recording. Called with g_start_mutex held.
bool start_locked(const Settings& settings, std::string* error) {
    if (settings.target.empty()) {
        *error = "no target library given";
        return false;
    }
    if (!resolve_secrets(settings.redact, error)) return false;
    if (kFunctionCount > kMaxFunctions) {
        *error = "too many library functions for the tap's tables";
        return false;
    }
    // Kept apart from the tap: its calls into its own exported functions resolve, through
    // the global scope, to the tap, which passes them straight back (see observing()).
    void* handle = dlopen(settings.target.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) {
        *error = std::string("cannot load the target library: ") + dlerror();
        return false;
    }
    Dl_info self;
    void* own = nullptr;
    if (dladdr(reinterpret_cast<void*>(&self_anchor), &self) && self.dli_fname)
        own = dlopen(self.dli_fname, RTLD_NOW | RTLD_NOLOAD);
    if (own) dlclose(own);
    if (own == handle) {
        dlclose(handle);
        *error = "the target library is the tap itself: " + settings.target;
        return false;
    }
    if (const char* missing = bind_target(handle)) {
        dlclose(handle);
        *error = "the target library " + settings.target + " lacks the function " + missing;
        return false;
    }
    link_map* map = nullptr;
    ImageSearch search{0, "", 0, 0};
    if (dlinfo(handle, RTLD_DI_LINKMAP, &map) == 0 && map) {
        search.base = map->l_addr;
        search.name = map->l_name;
        dl_iterate_phdr(find_image, &search);
    }
    if (search.end == 0) {
        *error = "cannot find where the target library is loaded";
        return false;
    }
    g_target_begin = search.begin;
    g_target_size = search.end - search.begin;
    if (!settings.record.empty()) {
        auto* recorder = new Recorder();
        if (!recorder->open(settings.record, header_json(settings), settings.buffer_bytes,
                            settings.wait_when_full, error)) {
            delete recorder;
            return false;
        }
        g_recorder = recorder;
        pthread_atfork(before_fork, after_fork_in_parent, after_fork_in_child);
        g_recording.store(true, std::memory_order_relaxed);
    }
    g_ready.store(true, std::memory_order_release);
    return true;
}

bool parse_size(const char* text, std::size_t* out) {
    char* end = nullptr;
    errno = 0;
    unsigned long long value = std::strtoull(text, &end, 10);
    if (errno || end == text) return false;
    unsigned shift = 0;
    if (*end == 'K' || *end == 'k') shift = 10;
    if (*end == 'M' || *end == 'm') shift = 20;
    if (*end == 'G' || *end == 'g') shift = 30;
    if (shift) ++end;
    if (*end != '\0' || value > (~0ull >> shift)) return false;
    *out = static_cast<std::size_t>(value << shift);
    return true;
}

// The environment's settings as found when the library was loaded: copied by a
// constructor into plain pointers (no C++ object is constructed yet at that point),
// read at the first library call or qxtap_load().
struct Environment {
    char* target;
    char* record;
    char* redact;
    char* on_full;
    char* buffer;
};
Environment g_environment;

char* copy_variable(const char* name) {
    const char* value = std::getenv(name);
    return value && *value ? strdup(value) : nullptr;
}

__attribute__((constructor)) void read_environment() {
    g_environment = {copy_variable("QXSDK_TAP_TARGET"), copy_variable("QXSDK_TAP_RECORD"),
                     copy_variable("QXSDK_TAP_REDACT"), copy_variable("QXSDK_TAP_ON_FULL"),
                     copy_variable("QXSDK_TAP_BUFFER")};
    // Only this process records: a child started with the same environment would
    // otherwise truncate the file it is writing.
    if (g_environment.target) unsetenv("QXSDK_TAP_RECORD");
}

// Settings from the environment, for a tap loaded with LD_PRELOAD. False when they are
// absent or wrong, with `error` saying so.
bool settings_from_environment(Settings* settings, std::string* error) {
    const Environment& env = g_environment;
    if (env.target == nullptr) {
        *error = env.record ? "QXSDK_TAP_RECORD is set but QXSDK_TAP_TARGET is not"
                            : "no target library: set QXSDK_TAP_TARGET, or call qxsdk_tap.activate() before "
                              "the first library call";
        return false;
    }
    settings->target = env.target;
    if (env.record) settings->record = env.record;
    if (env.redact) {
        std::string value = env.redact;
        if (value == "0" || value == "no" || value == "off" || value == "false") {
            settings->redact = false;
        } else if (!(value == "1" || value == "yes" || value == "on" || value == "true")) {
            *error = "QXSDK_TAP_REDACT must be 1 or 0, not " + value;
            return false;
        }
    }
    if (env.on_full) {
        std::string value = env.on_full;
        if (value != "drop" && value != "wait") {
            *error = "QXSDK_TAP_ON_FULL must be drop or wait, not " + value;
            return false;
        }
        settings->wait_when_full = value == "wait";
    }
    if (env.buffer && !parse_size(env.buffer, &settings->buffer_bytes)) {
        *error = std::string("QXSDK_TAP_BUFFER must be a byte count (with K, M or G), not ") + env.buffer;
        return false;
    }
    return true;
}

__attribute__((destructor)) void at_unload() {
    g_recording.store(false, std::memory_order_relaxed);
    if (g_recorder) {
        std::string trailer = "\"unwrapped_callbacks\":" + std::to_string(g_unwrapped.load()) +
                              ",\"ended_ns\":" + std::to_string(now_ns());
        g_recorder->finish(trailer);
    }
}

int load_configured() {
    std::lock_guard<std::mutex> lock(g_start_mutex);
    if (g_ready.load(std::memory_order_acquire)) return 0;
    if (g_configured) {
        g_error = "the tap could not start: " + g_error;
        return -1;
    }
    Settings settings;
    if (!settings_from_environment(&settings, &g_error)) return -1;
    // Taken whether or not it starts: a failure is reported, not retried at every call.
    g_settings = settings;
    g_configured = true;
    return start_locked(settings, &g_error) ? 0 : -1;
}

// ---- The event receiver given to the target

constexpr int kSlots = 16;
std::atomic<qxi_event_callback> g_slots[kSlots];
std::mutex g_slot_mutex;

void deliver(int slot, const char* text, const char* payload, int length) {
    const qxi_event_callback callback = g_slots[slot].load(std::memory_order_acquire);
    if (!g_recording.load(std::memory_order_relaxed)) return callback(text, payload, length);
    ThreadState& state = t_state;
    const std::uint64_t seq = g_next_seq.fetch_add(1, std::memory_order_relaxed);
    Entry entry(kEvent);
    entry.u64(seq);
    entry.u64(state.call);
    entry.u16(state.call ? static_cast<std::uint16_t>(state.call_fn) : kNoFunction);
    entry.u32(thread_id());
    entry.i64(now_ns());
    entry.text(text);
    entry.payload(payload, length);
    g_recorder->push(entry, true);
    // Calls the receiver makes are the caller's, made inside this event.
    const std::uint64_t outer = state.scope;
    const bool in_target = state.in_target;
    state.scope = seq;
    state.in_target = false;
    callback(text, payload, length);
    state.scope = outer;
    state.in_target = in_target;
}

template <int Slot>
void deliver_to(const char* text, const char* payload, int length) {
    deliver(Slot, text, payload, length);
}

template <int... Slots>
constexpr auto make_receivers(std::integer_sequence<int, Slots...>) {
    return std::array<qxi_event_callback, sizeof...(Slots)>{&deliver_to<Slots>...};
}
constexpr auto kReceivers = make_receivers(std::make_integer_sequence<int, kSlots>{});

}  // namespace

qxi_event_callback wrap_callback(qxi_event_callback callback) {
    if (callback == nullptr || g_recorder == nullptr) return callback;
    // One receiver per distinct callback, never reassigned, so that the target keeps
    // reaching the callback it was given even if a later registration fails.
    std::lock_guard<std::mutex> lock(g_slot_mutex);
    for (int i = 0; i < kSlots; ++i) {
        qxi_event_callback held = g_slots[i].load(std::memory_order_relaxed);
        if (held == callback) return kReceivers[i];
        if (held == nullptr) {
            g_slots[i].store(callback, std::memory_order_release);
            return kReceivers[i];
        }
    }
    if (g_unwrapped.fetch_add(1) == 0)
        std::fprintf(stderr,
                     "qxsdk tap: more than %d distinct event callbacks; later ones are not recorded\n",
                     kSlots);
    return callback;
}

void load_or_die() {
    if (load_configured() == 0) return;
    std::fprintf(stderr, "qxsdk tap: %s\n", g_error.c_str());
    std::abort();
}

// ---- Entries

Entry::Entry(std::uint8_t kind) {
    u64(0);  // the frame's length, written by finish()
    u8(kind);
}

void Entry::put(const void* data, std::size_t n) {
    std::memcpy(fixed_ + fixed_used_, data, n);
    fixed_used_ += n;
    total_ += n;
}

void Entry::cut() {
    if (fixed_used_ == fixed_cut_) return;
    spans_[span_count_++] = Span{fixed_ + fixed_cut_, fixed_used_ - fixed_cut_};
    fixed_cut_ = fixed_used_;
}

void Entry::bytes(const void* data, std::size_t n) {
    if (n == 0) return;
    cut();
    spans_[span_count_++] = Span{static_cast<const std::uint8_t*>(data), n};
    total_ += n;
}

void Entry::text(const char* text) {
    u8(kText);
    u8(text == nullptr);
    if (text == nullptr) return;
    const std::size_t n = std::strlen(text);
    u32(static_cast<std::uint32_t>(n));
    bytes(text, n);
}

void Entry::payload(const char* data, int length) {
    u8(kBytes);
    u8(data == nullptr);
    i32(length);
    if (data != nullptr && length > 0) bytes(data, static_cast<std::size_t>(length));
}

void Entry::redacted(bool null) {
    u8(kRedacted);
    u8(null);
}

const Entry::Span* Entry::finish(int* count, std::size_t* total) {
    cut();
    const std::uint64_t length = total_ - 8;
    std::memcpy(fixed_, &length, 8);
    *count = span_count_;
    *total = total_;
    return spans_;
}

CallRecord::CallRecord(int fn)
    : fn_(fn), seq_(g_next_seq.fetch_add(1, std::memory_order_relaxed)), entry_(kCall) {
    ThreadState& state = t_state;
    outer_scope_ = state.scope;
    outer_call_ = state.call;
    outer_call_fn_ = state.call_fn;
    state.scope = state.call = seq_;
    state.call_fn = fn;
    start_ns_ = now_ns();
    state.in_target = true;
}

CallRecord::~CallRecord() {
    ThreadState& state = t_state;
    state.scope = outer_scope_;
    state.call = outer_call_;
    state.call_fn = outer_call_fn_;
    state.in_target = false;
}

void CallRecord::stop() {
    duration_ns_ = now_ns() - start_ns_;
    t_state.in_target = false;
    // The fixed part, before the items.
    entry_.u16(static_cast<std::uint16_t>(fn_));
    count_at_ = entry_.mark();
    entry_.u8(0);
    entry_.u64(seq_);
    entry_.u64(outer_scope_);
    entry_.u32(thread_id());
    entry_.i64(start_ns_);
    entry_.i64(duration_ns_);
}

bool CallRecord::secret(int item) const { return (g_secret_masks[fn_] >> item) & 1; }

void CallRecord::void_() {
    ++items_;
    entry_.u8(kVoid);
}

void CallRecord::int32(int result) {
    ++items_;
    entry_.u8(kInt32);
    entry_.i32(result);
}

void CallRecord::int64(long long result) {
    ++items_;
    entry_.u8(kInt64);
    entry_.i64(result);
}

void CallRecord::real(double result) {
    ++items_;
    entry_.u8(kReal);
    entry_.f64(result);
}

void CallRecord::text(const char* result) { text(0, result); }

void CallRecord::text(int item, const char* text) {
    ++items_;
    if (secret(item)) return entry_.redacted(text == nullptr);
    entry_.text(text);
}

void CallRecord::request(int, const char* data, int length) {
    ++items_;
    entry_.payload(data, length);
}

void CallRecord::response(int, char** data, int* length) {
    ++items_;
    // What the target stored, as the caller will read it; nothing is read through a
    // null out-pointer, a stored null pointer or a length that is not positive.
    const bool data_given = data != nullptr, length_given = length != nullptr;
    const char* stored = data_given ? *data : nullptr;
    const int stored_length = length_given ? *length : 0;
    entry_.u8(kResponse);
    entry_.u8(static_cast<std::uint8_t>((data_given ? 1 : 0) | (length_given ? 2 : 0) | (stored ? 0 : 4)));
    entry_.i32(stored_length);
    if (stored && length_given && stored_length > 0)
        entry_.bytes(stored, static_cast<std::size_t>(stored_length));
}

void CallRecord::stored_text(int item, char** text) {
    ++items_;
    const char* stored = text ? *text : nullptr;
    if (secret(item)) return entry_.redacted(stored == nullptr);
    entry_.u8(kStoredText);
    entry_.u8(static_cast<std::uint8_t>((text ? 1 : 0) | (stored ? 0 : 4)));
    if (stored == nullptr) return;
    const std::size_t n = std::strlen(stored);
    entry_.u32(static_cast<std::uint32_t>(n));
    entry_.bytes(stored, n);
}

void CallRecord::int32(int, int value) {
    ++items_;
    entry_.u8(kInt32);
    entry_.i32(value);
}

void CallRecord::boolean(int, bool value) {
    ++items_;
    entry_.u8(kBool);
    entry_.u8(value);
}

void CallRecord::real(int, double value) {
    ++items_;
    entry_.u8(kReal);
    entry_.f64(value);
}

void CallRecord::callback(int, qxi_event_callback callback) {
    ++items_;
    entry_.u8(kCallback);
    entry_.u8(callback == nullptr);
}

void CallRecord::commit() {
    entry_.patch_u8(count_at_, items_);
    g_recorder->push(entry_, false);
}

}  // namespace qxtap

// ---- Control interface (qxsdk_tap drives it through ctypes)

extern "C" {

// Loads the target at `target` in front of which the tap stands and, with a non-null
// `record`, starts recording into that file. 0, or -1 with qxtap_error() saying why.
QXTAP_EXPORT int qxtap_start(const char* target, const char* record, int redact, int wait_when_full,
                             long long buffer_bytes) {
    using namespace qxtap;
    std::lock_guard<std::mutex> lock(g_start_mutex);
    if (g_configured || g_environment.target) {
        g_error =
            "the tap is already started, in front of " +
            (g_configured ? g_settings.target : std::string(g_environment.target) + " (QXSDK_TAP_TARGET)");
        return -1;
    }
    if (target == nullptr || buffer_bytes < 0) {
        g_error = target == nullptr ? "no target library given" : "the buffer size is negative";
        return -1;
    }
    Settings settings;
    settings.target = target;
    settings.record = record ? record : "";
    settings.redact = redact != 0;
    settings.wait_when_full = wait_when_full != 0;
    if (buffer_bytes > 0) settings.buffer_bytes = static_cast<std::size_t>(buffer_bytes);
    if (!start_locked(settings, &g_error)) return -1;
    g_settings = settings;
    g_configured = true;
    return 0;
}

// Loads the target the environment named (otherwise done at the first library call).
QXTAP_EXPORT int qxtap_load(void) { return qxtap::load_configured(); }

QXTAP_EXPORT const char* qxtap_error(void) { return qxtap::g_error.c_str(); }

// The target and recording file the tap was started with; null before it was.
QXTAP_EXPORT const char* qxtap_target(void) {
    using namespace qxtap;
    return g_configured ? g_settings.target.c_str() : g_environment.target;
}
QXTAP_EXPORT const char* qxtap_record(void) {
    using namespace qxtap;
    if (!g_configured) return g_environment.target ? g_environment.record : nullptr;
    return g_settings.record.empty() ? nullptr : g_settings.record.c_str();
}

QXTAP_EXPORT int qxtap_recording(void) { return qxtap::g_recording.load() ? 1 : 0; }

// The secrets, "function.item" comma-separated, whether or not they are redacted.
QXTAP_EXPORT const char* qxtap_secrets(void) { return qxtap::secret_names().c_str(); }

// Waits until every entry recorded before the call is in the file.
QXTAP_EXPORT void qxtap_flush(void) {
    if (qxtap::g_recorder) qxtap::g_recorder->flush();
}

// Stops recording: the rest of the buffer and the trailer are written and the file is
// closed; calls are still forwarded. Also done when the process exits.
QXTAP_EXPORT void qxtap_finish(void) { qxtap::at_unload(); }

// calls, events, dropped calls, dropped events, bytes written, callbacks not wrapped.
QXTAP_EXPORT void qxtap_stats(long long* out) {
    qxtap::RecorderStats stats;
    if (qxtap::g_recorder) stats = qxtap::g_recorder->stats();
    out[0] = static_cast<long long>(stats.calls);
    out[1] = static_cast<long long>(stats.events);
    out[2] = static_cast<long long>(stats.dropped_calls);
    out[3] = static_cast<long long>(stats.dropped_events);
    out[4] = static_cast<long long>(stats.bytes);
    out[5] = static_cast<long long>(qxtap::g_unwrapped.load());
}

}  // extern "C"
