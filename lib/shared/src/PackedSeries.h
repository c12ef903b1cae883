#pragma once
// A byte history in little memory: points in ascending time, each stored as
// variable-length differences from the one before (time in nanoseconds, and
// the change of the byte increment), about two bytes per point when chunks
// of one size arrive. A downlink records a point per chunk, so at link rates
// of many Gbit/s a test holds millions of points; this keeps the points that
// must travel or stay in memory small.
//
// SampleUpdate is a piece of one connection's history as a runner hands it
// on while the test runs: the points since the previous piece, and what the
// previous piece could not say yet.

#include "Duration.h"
#include "ResultStatistics.h"

#include <cstddef>
#include <cstdint>
#include <iterator>
#include <optional>
#include <vector>

namespace vela_client {

class PackedSeries {
public:
    PackedSeries() = default;

    // Appends a point later than every point held; a point at the time of
    // the last one replaces that point's bytes (as a map would). Nothing
    // changes, and false is returned, for an earlier time or a time of 2^64
    // ns or more.
    bool push(Duration time, std::uint64_t bytes);

    bool empty() const { return size_ == 0; }
    std::size_t size() const { return size_; }
    SamplePoint front() const { return first_; }
    SamplePoint back() const { return last_; }
    // Bytes held (encoded points and index).
    std::size_t memory_bytes() const;
    // Gives back the room that no point uses.
    void shrink_to_fit();

    // The last point earlier than `t` and the first one at `t` or later.
    struct Around {
        std::optional<SamplePoint> before;
        std::optional<SamplePoint> at_or_after;
    };
    Around around(Duration t) const;

    class const_iterator {
    public:
        using iterator_category = std::forward_iterator_tag;
        using value_type = SamplePoint;
        using difference_type = std::ptrdiff_t;
        using pointer = const SamplePoint*;
        using reference = const SamplePoint&;

        const_iterator() = default;
        reference operator*() const { return point_; }
        pointer operator->() const { return &point_; }
        const_iterator& operator++();
        const_iterator operator++(int)
        {
            const_iterator before = *this;
            ++*this;
            return before;
        }
        bool operator==(const const_iterator& o) const { return index_ == o.index_; }

    private:
        friend class PackedSeries;
        const PackedSeries* series_ = nullptr;
        std::size_t index_ = 0;   // position of point_
        std::size_t offset_ = 0;  // of the point after point_ (see Mark::offset)
        std::uint64_t time_ns_ = 0;
        std::uint64_t step_ = 0;  // byte increment of point_
        SamplePoint point_;
        void load();  // decodes the point at index_ from offset_
    };
    const_iterator begin() const;
    const_iterator end() const;

    std::vector<SamplePoint> to_vector() const;
    bool operator==(const PackedSeries& o) const;

private:
    // Where decoding may start: every kMarkEvery-th point.
    struct Mark {
        std::size_t offset = 0;       // of the point's encoding: segment * kSegment + position in it
        std::uint64_t time_ns = 0;    // the point before it (zero for the first point)
        std::uint64_t bytes = 0;
        std::uint64_t step = 0;
        std::uint64_t time_ns_at = 0; // the point's own time
    };
    static constexpr std::size_t kMarkEvery = 512;
    // The encoded points lie in segments of this many bytes (the first one
    // grows up to it): pieces of one size are what the allocator hands out
    // again, where long runs of ever larger blocks, taken and given back
    // while a test runs, stay with the process as holes. No point's encoding
    // (at most kMaxPointBytes) crosses from one segment into the next.
    static constexpr std::size_t kSegment = 64 * 1024;
    static constexpr std::size_t kMaxPointBytes = 32;
    // Where the encoding at `offset` starts: in the next segment when too
    // little room was left in this one.
    static std::size_t point_start(std::size_t offset);
    const std::uint8_t* at(std::size_t offset) const { return segments_[offset / kSegment].data() + offset % kSegment; }

    void encode_last();

    std::vector<std::vector<std::uint8_t>> segments_;  // every point but the last
    std::vector<Mark> index_;
    std::size_t size_ = 0;
    SamplePoint first_;
    SamplePoint last_;              // not yet encoded
    std::uint64_t last_ns_ = 0;
    std::uint64_t prev_ns_ = 0;     // the last encoded point
    std::uint64_t prev_bytes_ = 0;
    std::uint64_t prev_step_ = 0;   // its byte increment
};

struct SampleUpdate {
    // New bytes of the last point handed on before: a later chunk came at
    // the same instant (a history keeps one point per time).
    std::optional<std::uint64_t> restated;
    // The history's first point, once, when it was not handed on before.
    std::optional<SamplePoint> first;
    // The points after every point handed on before, ascending.
    PackedSeries points;

    bool operator==(const SampleUpdate&) const = default;
};

// Cuts a history, recorded point by point, into the pieces that a runner
// hands on: every piece holds the points after the last one handed on
// before (the first point travels apart, as the first piece's `first`), and
// a point recorded at the instant of the last one handed on restates it.
class HistoryPieces {
public:
    // `time` is not earlier than that of the point recorded before.
    void record(Duration time, std::uint64_t bytes);
    // The piece since the previous take; what it holds counts as handed on.
    SampleUpdate take();
    // What the next take would hand on.
    const SampleUpdate& pending() const { return pending_; }

private:
    SampleUpdate pending_;
    std::optional<Duration> handed_on_;  // time of the newest point recorded before the last take
    std::optional<Duration> newest_;
    bool first_taken_ = false;
};

// Replays an update onto a whole history (the points handed on so far).
void apply_update(std::vector<SamplePoint>& history, const SampleUpdate& update);

} // namespace vela_client
