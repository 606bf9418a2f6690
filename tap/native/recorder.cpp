#include "recorder.hpp"

#include <errno.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace qxtap {

namespace {

// The writer wakes at least this often, so that a crash loses little of what was buffered.
constexpr auto kWriterPeriod = std::chrono::milliseconds(5);
constexpr std::size_t kGapBytes = 8 + 1 + 8 + 8;

}  // namespace

bool Recorder::open(const std::string& path, const std::string& header_json, std::size_t buffer_bytes,
                    bool wait_when_full, std::string* error) {
    // 0600 also when the file existed with wider permissions: responses carry account data.
    fd_ = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd_ < 0 || fchmod(fd_, 0600) != 0) {
        *error = "cannot open the recording " + path + ": " + std::strerror(errno);
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
        return false;
    }
    capacity_ = std::max<std::size_t>(buffer_bytes, 4096);
    // Populated now, so that no calling thread pays for a page's first touch.
    void* ring =
        mmap(nullptr, capacity_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_POPULATE, -1, 0);
    ring_ = ring == MAP_FAILED ? nullptr : static_cast<std::uint8_t*>(ring);
    if (ring_ == nullptr) {
        *error = "cannot allocate the recording buffer of " + std::to_string(capacity_) + " bytes";
        ::close(fd_);
        fd_ = -1;
        return false;
    }
    wait_when_full_ = wait_when_full;
    std::uint8_t start[16];
    std::memcpy(start, kMagic, 8);
    std::memcpy(start + 8, &kFormatVersion, 4);
    std::memset(start + 12, 0, 4);
    Entry header(kHeader);
    header.bytes(header_json.data(), header_json.size());
    int count;
    std::size_t total;
    const Entry::Span* spans = header.finish(&count, &total);
    bool ok = write_all(start, sizeof start);
    for (int i = 0; ok && i < count; ++i) ok = write_all(spans[i].data, spans[i].size);
    if (!ok) {
        *error = "cannot write the recording " + path + ": " + std::strerror(errno);
        munmap(ring_, capacity_);
        ring_ = nullptr;
        ::close(fd_);
        fd_ = -1;
        return false;
    }
    stats_.bytes = sizeof start + total;
    writer_ = std::thread([this] { run(); });
    return true;
}

void Recorder::copy_in(const std::uint8_t* data, std::size_t n) {
    std::size_t at = head_ % capacity_;
    std::size_t first = std::min(n, capacity_ - at);
    std::memcpy(ring_ + at, data, first);
    if (n > first) std::memcpy(ring_, data + first, n - first);
    head_ += n;
}

void Recorder::put_gap() {
    std::uint8_t gap[kGapBytes];
    std::uint64_t length = kGapBytes - 8;
    std::memcpy(gap, &length, 8);
    gap[8] = kGap;
    std::memcpy(gap + 9, &gap_calls_, 8);
    std::memcpy(gap + 17, &gap_events_, 8);
    copy_in(gap, sizeof gap);
    gap_calls_ = gap_events_ = 0;
}

void Recorder::wake_writer() {
    if (writer_sleeping_) {
        writer_sleeping_ = false;
        data_cv_.notify_one();
    }
}

void Recorder::wait_for_space(std::unique_lock<std::mutex>& lock) {
    ++waiters_;
    wake_writer();
    space_cv_.wait(lock);
    --waiters_;
}

std::size_t Recorder::room() const { return capacity_ - static_cast<std::size_t>(head_ - tail_); }

std::size_t Recorder::gap_bytes() const { return gap_calls_ + gap_events_ ? kGapBytes : 0; }

void Recorder::push(Entry& entry, bool event) {
    int count;
    std::size_t total;
    const Entry::Span* spans = entry.finish(&count, &total);
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        if (closing_) return;
        // While another thread feeds an entry larger than the buffer, nothing may come
        // between its pieces.
        if (!streaming_) {
            if (total + gap_bytes() <= room()) break;
            if (wait_when_full_ && total + kGapBytes > capacity_) {
                if (stream(spans, count, lock)) ++(event ? stats_.events : stats_.calls);
                return;
            }
        }
        if (!wait_when_full_) {
            ++(event ? stats_.dropped_events : stats_.dropped_calls);
            ++(event ? gap_events_ : gap_calls_);
            return;
        }
        wait_for_space(lock);
    }
    if (gap_bytes()) put_gap();
    for (int i = 0; i < count; ++i) copy_in(spans[i].data, spans[i].size);
    ++(event ? stats_.events : stats_.calls);
    // Woken early only when a quarter of the buffer is used; otherwise by its period.
    if (head_ - tail_ >= capacity_ / 4) wake_writer();
}

bool Recorder::stream(const Entry::Span* spans, int count, std::unique_lock<std::mutex>& lock) {
    streaming_ = true;
    while (room() < gap_bytes() && !closed_) wait_for_space(lock);
    if (gap_bytes() && !closed_) put_gap();
    for (int i = 0; i < count && !closed_; ++i) {
        std::size_t done = 0;
        while (done < spans[i].size && !closed_) {
            if (room() == 0) {
                wait_for_space(lock);
                continue;
            }
            std::size_t n = std::min(room(), spans[i].size - done);
            copy_in(spans[i].data + done, n);
            done += n;
        }
    }
    streaming_ = false;
    wake_writer();
    space_cv_.notify_all();
    return !closed_;
}

bool Recorder::write_all(const void* data, std::size_t n) {
    const char* p = static_cast<const char*>(data);
    while (n > 0) {
        ssize_t written = ::write(fd_, p, n);
        if (written < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        p += written;
        n -= static_cast<std::size_t>(written);
    }
    return true;
}

void Recorder::fail(int error) {
    // Called with the lock held: nothing more is recorded, nobody waits any longer.
    error_ = error;
    closed_ = closing_ = true;
    std::fprintf(stderr, "qxsdk tap: recording stopped, cannot write: %s\n", std::strerror(error));
    space_cv_.notify_all();
}

void Recorder::run() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        if (closed_) return;
        if (head_ == tail_) {
            if (closing_ && !streaming_) break;
            writer_sleeping_ = true;
            data_cv_.wait_for(lock, kWriterPeriod);
            writer_sleeping_ = false;
            continue;
        }
        const std::uint64_t from = tail_, to = head_;
        lock.unlock();
        const std::size_t at = from % capacity_;
        const std::size_t n = static_cast<std::size_t>(to - from);
        const std::size_t first = std::min(n, capacity_ - at);
        bool ok = write_all(ring_ + at, first) && write_all(ring_, n - first);
        int error = errno;
        lock.lock();
        tail_ = to;
        if (!ok) return fail(error);
        stats_.bytes += n;
        if (waiters_) space_cv_.notify_all();
    }
    // Drained and closing: the drops no entry came after, then the trailer.
    std::uint8_t gap[kGapBytes];
    bool ok = true;
    if (gap_calls_ + gap_events_) {
        std::uint64_t length = kGapBytes - 8;
        std::memcpy(gap, &length, 8);
        gap[8] = kGap;
        std::memcpy(gap + 9, &gap_calls_, 8);
        std::memcpy(gap + 17, &gap_events_, 8);
        ok = write_all(gap, sizeof gap);
        if (ok) stats_.bytes += sizeof gap;
        gap_calls_ = gap_events_ = 0;
    }
    if (!ok) return fail(errno);
    closed_ = true;
    space_cv_.notify_all();
}

void Recorder::flush() {
    std::unique_lock<std::mutex> lock(mutex_);
    const std::uint64_t target = head_;
    ++waiters_;
    while (tail_ < target && !closed_) {
        if (writer_sleeping_) {
            writer_sleeping_ = false;
            data_cv_.notify_one();
        }
        space_cv_.wait(lock);
    }
    --waiters_;
}

void Recorder::finish(const std::string& trailer_fields) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (finished_ || abandoned_ || fd_ < 0) return;
        finished_ = closing_ = true;
        data_cv_.notify_one();
        space_cv_.notify_all();
    }
    writer_.join();
    std::lock_guard<std::mutex> lock(mutex_);
    if (error_ == 0) {
        char buffer[320];
        int n = std::snprintf(
            buffer, sizeof buffer,
            "{\"calls\":%llu,\"events\":%llu,\"dropped_calls\":%llu,\"dropped_events\":%llu,",
            static_cast<unsigned long long>(stats_.calls), static_cast<unsigned long long>(stats_.events),
            static_cast<unsigned long long>(stats_.dropped_calls),
            static_cast<unsigned long long>(stats_.dropped_events));
        std::string json(buffer, static_cast<std::size_t>(n));
        json += trailer_fields;
        json += "}";
        Entry trailer(kTrailer);
        trailer.bytes(json.data(), json.size());
        int count;
        std::size_t total;
        const Entry::Span* spans = trailer.finish(&count, &total);
        bool ok = true;
        for (int i = 0; ok && i < count; ++i) ok = write_all(spans[i].data, spans[i].size);
        if (ok) stats_.bytes += total;
    }
    ::close(fd_);
    fd_ = -1;
    closed_ = true;
    if (stats_.dropped_calls + stats_.dropped_events) {
        std::fprintf(stderr,
                     "qxsdk tap: the recording buffer was full: %llu calls and %llu events were not "
                     "recorded (gap entries mark where)\n",
                     static_cast<unsigned long long>(stats_.dropped_calls),
                     static_cast<unsigned long long>(stats_.dropped_events));
    }
}

void Recorder::abandon() {
    // In the child of a fork: the writer thread does not exist here and the file is the
    // parent's, so neither is touched again (the std::thread is never joined or destroyed).
    abandoned_ = closing_ = closed_ = true;
    writer_sleeping_ = false;
}

RecorderStats Recorder::stats() {
    std::lock_guard<std::mutex> lock(mutex_);
    return stats_;
}

}  // namespace qxtap
