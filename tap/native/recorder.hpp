// The recording file and the bounded buffer in front of it. Calling threads copy each
// finished entry into the buffer and return; one writer thread moves the buffer to the
// file. What happens when an entry does not fit is the policy chosen at start.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>

#include "tap.hpp"

namespace qxtap {

// Entry kinds and item tags of the recording format (tap/README.md).
enum Kind : std::uint8_t { kHeader = 0, kCall = 1, kEvent = 2, kGap = 3, kTrailer = 4 };
enum Tag : std::uint8_t {
    kVoid = 0,
    kInt32 = 1,
    kInt64 = 2,
    kReal = 3,
    kBool = 4,
    kText = 5,
    kBytes = 6,
    kResponse = 7,
    kStoredText = 8,
    kCallback = 9,
    kRedacted = 10,
};
inline constexpr char kMagic[8] = {'Q', 'X', 'T', 'A', 'P', 'R', 'E', 'C'};
inline constexpr std::uint32_t kFormatVersion = 1;

struct RecorderStats {
    std::uint64_t calls = 0;
    std::uint64_t events = 0;
    std::uint64_t dropped_calls = 0;
    std::uint64_t dropped_events = 0;
    std::uint64_t bytes = 0;  // written to the file, magic included
};

class Recorder {
public:
    // Opens (creates or truncates, mode 0600) the file and writes its magic and the
    // header entry; false with `error` set when it cannot.
    bool open(const std::string& path, const std::string& header_json, std::size_t buffer_bytes,
              bool wait_when_full, std::string* error);

    // Copies a finished entry into the buffer, or drops it (counted) when the buffer is
    // full and the policy is to drop. Never blocks under that policy.
    void push(Entry& entry, bool event);

    // Waits until everything pushed before the call is in the file.
    void flush();
    // Drains the buffer, writes the trailer (with `trailer_fields`, JSON members) and
    // closes the file. Later pushes are ignored. Only the first call does anything.
    void finish(const std::string& trailer_fields);
    // Around fork: the lock is held across it, so the child's copy is consistent; the
    // child forgets the file and the writer (which does not exist there) without
    // touching either.
    void before_fork() { mutex_.lock(); }
    void after_fork_in_parent() { mutex_.unlock(); }
    void after_fork_in_child() {
        abandon();
        mutex_.unlock();
    }

    RecorderStats stats();

private:
    void run();
    void abandon();
    void copy_in(const std::uint8_t* data, std::size_t n);
    void put_gap();
    void wake_writer();
    void wait_for_space(std::unique_lock<std::mutex>& lock);
    std::size_t room() const;
    std::size_t gap_bytes() const;
    // Feeds an entry larger than the buffer through it; false if recording stopped meanwhile.
    bool stream(const Entry::Span* spans, int count, std::unique_lock<std::mutex>& lock);
    bool write_all(const void* data, std::size_t n);
    void fail(int error);

    std::mutex mutex_;
    std::condition_variable data_cv_;   // the writer waits for data
    std::condition_variable space_cv_;  // producers and flush wait for the writer
    std::uint8_t* ring_ = nullptr;
    std::size_t capacity_ = 0;
    std::uint64_t head_ = 0;       // bytes ever copied in
    std::uint64_t tail_ = 0;       // bytes ever written out
    std::uint64_t gap_calls_ = 0;  // dropped since the last gap entry
    std::uint64_t gap_events_ = 0;
    int waiters_ = 0;
    bool writer_sleeping_ = false;
    bool streaming_ = false;  // an entry larger than the buffer is being fed through it
    bool closing_ = false;
    bool closed_ = false;
    bool finished_ = false;
    bool abandoned_ = false;
    bool wait_when_full_ = false;
    int error_ = 0;
    int fd_ = -1;
    RecorderStats stats_;
    std::thread writer_;
};

}  // namespace qxtap
