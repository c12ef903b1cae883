#include "PackedSeries.h"

#include <algorithm>
#include <utility>

namespace vela_client {

namespace {

void put_varint(std::vector<std::uint8_t>& out, uint128_t v)
{
    while (v >= 0x80) {
        out.push_back(static_cast<std::uint8_t>(v) | 0x80U);
        v >>= 7;
    }
    out.push_back(static_cast<std::uint8_t>(v));
}

uint128_t get_varint(const std::uint8_t* data, std::size_t& offset)
{
    uint128_t v = 0;
    unsigned shift = 0;
    for (;;) {
        const std::uint8_t byte = *data++;
        ++offset;
        v |= static_cast<uint128_t>(byte & 0x7FU) << shift;
        if ((byte & 0x80U) == 0)
            return v;
        shift += 7;
    }
}

std::uint64_t zigzag(std::uint64_t v)
{
    const auto s = static_cast<std::int64_t>(v);
    return (static_cast<std::uint64_t>(s) << 1) ^ static_cast<std::uint64_t>(s >> 63);
}

std::uint64_t unzigzag(std::uint64_t v) { return (v >> 1) ^ (~(v & 1) + 1); }

} // namespace

bool PackedSeries::push(Duration time, std::uint64_t bytes)
{
    const auto ns = time.as_nanos_u64();
    if (!ns)
        return false;
    if (size_ == 0) {
        first_ = last_ = SamplePoint{time, bytes};
        last_ns_ = *ns;
        size_ = 1;
        return true;
    }
    if (*ns < last_ns_)
        return false;
    if (*ns == last_ns_) {
        last_.bytes = bytes;
        if (size_ == 1)
            first_.bytes = bytes;
        return true;
    }
    encode_last();
    last_ = SamplePoint{time, bytes};
    last_ns_ = *ns;
    ++size_;
    return true;
}

void PackedSeries::encode_last()
{
    const std::size_t position = size_ - 1;
    if (segments_.empty() || kSegment - segments_.back().size() < kMaxPointBytes) {
        segments_.emplace_back();
        if (segments_.size() > 1)
            segments_.back().reserve(kSegment);
    }
    std::vector<std::uint8_t>& data = segments_.back();
    if (position % kMarkEvery == 0)
        index_.push_back(Mark{(segments_.size() - 1) * kSegment + data.size(), prev_ns_, prev_bytes_, prev_step_, last_ns_});
    // Increments wrap modulo 2^64, so any sequence of counts round-trips.
    const std::uint64_t step = last_.bytes - prev_bytes_;
    const std::uint64_t change = step - prev_step_;
    const uint128_t dt = last_ns_ - prev_ns_;
    put_varint(data, dt * 2 + (change != 0 ? 1 : 0));
    if (change != 0)
        put_varint(data, zigzag(change));
    prev_ns_ = last_ns_;
    prev_bytes_ = last_.bytes;
    prev_step_ = step;
}

void PackedSeries::const_iterator::load()
{
    if (index_ + 1 == series_->size_) {
        point_ = series_->last_;
        return;
    }
    offset_ = point_start(offset_);
    const uint128_t head = get_varint(series_->at(offset_), offset_);
    if ((head & 1U) != 0)
        step_ += unzigzag(static_cast<std::uint64_t>(get_varint(series_->at(offset_), offset_)));
    time_ns_ += static_cast<std::uint64_t>(head >> 1);
    point_.bytes += step_;
    point_.time = Duration::from_nanos(time_ns_);
}

PackedSeries::const_iterator& PackedSeries::const_iterator::operator++()
{
    ++index_;
    if (index_ < series_->size_)
        load();
    return *this;
}

PackedSeries::const_iterator PackedSeries::begin() const
{
    const_iterator it;
    it.series_ = this;
    if (size_ > 0)
        it.load();
    return it;
}

PackedSeries::const_iterator PackedSeries::end() const
{
    const_iterator it;
    it.series_ = this;
    it.index_ = size_;
    return it;
}

PackedSeries::Around PackedSeries::around(Duration t) const
{
    Around out;
    if (size_ == 0)
        return out;
    if (last_.time < t) {
        out.before = last_;
        return out;
    }
    if (!(first_.time < t)) {
        out.at_or_after = first_;
        return out;
    }
    // Start at the last mark whose point lies before t (t fits 64-bit
    // nanoseconds here: it is not later than the last point).
    const std::uint64_t t_ns = *t.as_nanos_u64();
    auto mark = std::partition_point(index_.begin(), index_.end(), [t_ns](const Mark& m) { return m.time_ns_at < t_ns; });
    const_iterator it;
    it.series_ = this;
    if (mark != index_.begin()) {
        --mark;
        it.index_ = static_cast<std::size_t>(mark - index_.begin()) * kMarkEvery;
        it.offset_ = mark->offset;
        it.time_ns_ = mark->time_ns;
        it.point_.bytes = mark->bytes;
        it.step_ = mark->step;
    }
    it.load();
    for (; it.index_ < size_; ++it) {
        if (!(it->time < t)) {
            out.at_or_after = *it;
            return out;
        }
        out.before = *it;
    }
    return out;
}

std::size_t PackedSeries::point_start(std::size_t offset)
{
    const std::size_t left = kSegment - offset % kSegment;
    return left < kMaxPointBytes ? offset + left : offset;
}

std::size_t PackedSeries::memory_bytes() const
{
    std::size_t n = segments_.capacity() * sizeof(segments_[0]) + index_.capacity() * sizeof(Mark);
    for (const auto& s : segments_)
        n += s.capacity();
    return n;
}

void PackedSeries::shrink_to_fit()
{
    if (!segments_.empty())
        segments_.back().shrink_to_fit();
    segments_.shrink_to_fit();
    index_.shrink_to_fit();
}

std::vector<SamplePoint> PackedSeries::to_vector() const
{
    std::vector<SamplePoint> out;
    out.reserve(size_);
    for (const SamplePoint& p : *this)
        out.push_back(p);
    return out;
}

bool PackedSeries::operator==(const PackedSeries& o) const
{
    return size_ == o.size_ && std::equal(begin(), end(), o.begin());
}

void HistoryPieces::record(Duration time, std::uint64_t bytes)
{
    if (!newest_) {
        pending_.first = SamplePoint{time, bytes};
    } else if (handed_on_ && time == *handed_on_ && pending_.points.empty()) {
        pending_.restated = bytes;
    } else if (!first_taken_ && pending_.points.empty() && time == pending_.first->time) {
        pending_.first->bytes = bytes;
    } else {
        pending_.points.push(time, bytes);
    }
    newest_ = time;
}

SampleUpdate HistoryPieces::take()
{
    if (pending_.first)
        first_taken_ = true;
    handed_on_ = newest_;
    // A piece is kept until the phase has passed it (about a report's
    // time): it holds no spare room.
    SampleUpdate piece = std::exchange(pending_, SampleUpdate{});
    piece.points.shrink_to_fit();
    return piece;
}

void apply_update(std::vector<SamplePoint>& history, const SampleUpdate& update)
{
    if (update.restated && !history.empty())
        history.back().bytes = *update.restated;
    if (update.first)
        history.push_back(*update.first);
    for (const SamplePoint& p : update.points)
        history.push_back(p);
}

} // namespace vela_client
