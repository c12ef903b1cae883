#include "ThroughputRecorder.h"

#include <algorithm>

namespace vela_client {

// ---- SeriesSummary ---------------------------------------------------------

SeriesSummary::SeriesSummary(std::optional<Duration> cut, std::optional<Duration> rate)
    : cut_(cut), rate_(rate), grid_(rate.value_or(Duration()))
{
}

void SeriesSummary::add(SamplePoint p)
{
    ++count_;
    last_ = p;
    if (cut_) {
        if (p.time < *cut_)
            before_cut_ = p;
        else if (!from_cut_)
            from_cut_ = p;
    }
    if (!rate_ || rate_->is_zero())
        return;
    // The steps of downsample_series, made as the points arrive: a step
    // starts at a point, takes every later point up to its grid point, and
    // decides at the first point past it between that point and the last one
    // before it.
    if (!in_step_) {
        start_step(p);
        return;
    }
    if (p.time <= grid_) {
        candidate_ = p;
        return;
    }
    const bool take_later = strictly_nearer(p.time, candidate_.time, grid_);
    steps_.push_back(Step{take_later ? p : candidate_, p.time});
    grid_ = grid_.saturating_add(*rate_);
    if (take_later)
        in_step_ = false;  // the next step starts at the point after p
    else
        start_step(p);
}

void SeriesSummary::start_step(SamplePoint p)
{
    if (p.time > *rate_)
        grid_ = grid_point_at_or_after(p.time, *rate_);
    candidate_ = p;
    in_step_ = true;
}

std::uint64_t SeriesSummary::bytes_at_cut() const
{
    if (!cut_ || !from_cut_)
        return 0;
    if (from_cut_->time == *cut_)
        return from_cut_->bytes;
    return interpolated_bytes(before_cut_, *from_cut_, *cut_);
}

std::vector<SamplePoint> SeriesSummary::downsampled() const
{
    std::vector<SamplePoint> out;
    if (!rate_ || rate_->is_zero() || !last_)
        return out;
    out.reserve(steps_.size() + 1);
    for (const Step& s : steps_)
        out.push_back(s.chosen);
    if (out.empty() || !(out.back() == *last_))
        out.push_back(*last_);
    return out;
}

std::vector<SamplePoint> SeriesSummary::downsampled_before(Duration t, std::optional<SamplePoint> before) const
{
    std::vector<SamplePoint> out;
    if (!rate_ || rate_->is_zero() || !before)
        return out;
    // A step survives when the shorter history still holds its horizon;
    // after them comes the last point before t, as the whole history's end.
    for (const Step& s : steps_) {
        if (!(s.horizon < t))
            break;
        out.push_back(s.chosen);
    }
    if (out.empty() || !(out.back() == *before))
        out.push_back(*before);
    return out;
}

// ---- progress series -------------------------------------------------------

bool ThroughputRecorder::Series::empty() const { return merged ? merged->empty() : blocks.empty(); }

SamplePoint ThroughputRecorder::Series::last() const
{
    if (merged)
        return SamplePoint{merged->rbegin()->first, merged->rbegin()->second};
    return blocks.back().back();
}

std::size_t ThroughputRecorder::Series::size() const
{
    if (merged)
        return merged->size();
    std::size_t n = 0;
    for (const auto& b : blocks)
        n += b.size();
    return n;
}

namespace {

// Points that do not simply follow the series: from then on it is kept as
// one ordered map (a later point at a known time restates its bytes).
template <class Points>
void merge_out_of_order(std::optional<std::map<Duration, std::uint64_t>>& merged, std::deque<PackedSeries>& blocks,
                        const Points& points)
{
    if (!merged) {
        merged.emplace();
        for (const auto& b : blocks)
            for (const SamplePoint& p : b)
                merged->insert_or_assign(merged->end(), p.time, p.bytes);
        blocks.clear();
    }
    for (const SamplePoint& p : points)
        merged->insert_or_assign(p.time, p.bytes);
}

} // namespace

void ThroughputRecorder::Series::merge(PackedSeries&& points)
{
    if (points.empty())
        return;
    if (!merged && (blocks.empty() || blocks.back().back().time < points.front().time)) {
        blocks.push_back(std::move(points));
        return;
    }
    merge_out_of_order(merged, blocks, points);
}

void ThroughputRecorder::Series::merge(const std::vector<SamplePoint>& points)
{
    if (points.empty())
        return;
    if (!merged && (blocks.empty() || blocks.back().back().time < points.front().time)) {
        PackedSeries packed;
        bool ascending = true;
        for (std::size_t i = 0; i < points.size() && ascending; ++i)
            ascending = (i == 0 || points[i - 1].time < points[i].time) && packed.push(points[i].time, points[i].bytes);
        if (ascending) {
            blocks.push_back(std::move(packed));
            return;
        }
    }
    merge_out_of_order(merged, blocks, points);
}

ThroughputRecorder::Around ThroughputRecorder::Series::around(Duration t) const
{
    Around out;
    if (merged) {
        const auto next = merged->lower_bound(t);
        if (next != merged->end())
            out.at_or_after = SamplePoint{next->first, next->second};
        if (next != merged->begin())
            out.before = SamplePoint{std::prev(next)->first, std::prev(next)->second};
        return out;
    }
    for (const auto& b : blocks) {
        if (b.back().time < t) {
            out.before = b.back();
            continue;
        }
        const auto a = b.around(t);
        if (a.before)
            out.before = a.before;
        out.at_or_after = a.at_or_after;
        break;
    }
    return out;
}

void ThroughputRecorder::Series::prune(Duration floor)
{
    // Keep the last point before the floor and everything after it.
    if (merged) {
        auto keep = merged->lower_bound(floor);
        if (keep != merged->begin())
            merged->erase(merged->begin(), std::prev(keep));
        return;
    }
    while (blocks.size() >= 2 && blocks[1].front().time <= floor)
        blocks.pop_front();
}

// ---- lanes -----------------------------------------------------------------

void ThroughputRecorder::Lane::feed(SamplePoint p)
{
    // The runner's clock only moves on, so every piece continues the history;
    // a point that did not would be a fault of the runner and is left out.
    if (held) {
        if (!(held->time < p.time))
            return;
        summary.add(*held);
    }
    held = p;
}

void ThroughputRecorder::Lane::take(SampleUpdate& update)
{
    pieces = true;
    if (update.restated && held) {
        held->bytes = *update.restated;
        restated[held->time] = *update.restated;
    }
    if (update.first) {
        first = update.first;
        feed(*update.first);
    }
    for (const SamplePoint& p : update.points)
        feed(p);
}

ThroughputRecorder::Around ThroughputRecorder::Lane::around(Duration t) const
{
    Around out;
    if (!pieces) {
        const auto next = std::lower_bound(whole.begin(), whole.end(), t,
                                           [](const SamplePoint& p, Duration v) { return p.time < v; });
        if (next != whole.end())
            out.at_or_after = *next;
        if (next != whole.begin())
            out.before = *std::prev(next);
        return out;
    }
    // The pieces in time order: the first point, the progress series, the rest.
    auto take = [&out](std::optional<SamplePoint> before, std::optional<SamplePoint> at_or_after) {
        if (before)
            out.before = before;
        if (!out.at_or_after)
            out.at_or_after = at_or_after;
    };
    if (first)
        take(first->time < t ? first : std::nullopt, first->time < t ? std::nullopt : first);
    const Around middle = progress.around(t);
    take(middle.before, middle.at_or_after);
    const auto end = rest.around(t);
    take(end.before, end.at_or_after);
    for (auto* p : {&out.before, &out.at_or_after})
        if (*p)
            if (auto r = restated.find((*p)->time); r != restated.end())
                (*p)->bytes = r->second;
    return out;
}

// ---- recorder --------------------------------------------------------------

ThroughputRecorder::ThroughputRecorder(std::optional<Duration> cut, std::optional<Duration> rate)
    : cut_(cut), rate_(rate)
{
}

ThroughputRecorder::Lane& ThroughputRecorder::lane(std::uint8_t runner)
{
    auto it = lanes_.find(runner);
    if (it == lanes_.end())
        it = lanes_.emplace(runner, Lane(*this)).first;
    return it->second;
}

void ThroughputRecorder::progress(std::uint8_t runner, SampleUpdate&& update)
{
    Lane& l = lane(runner);
    l.take(update);
    l.progress.merge(std::move(update.points));
}

void ThroughputRecorder::progress(std::uint8_t runner, const std::vector<SamplePoint>& points)
{
    lane(runner).progress.merge(points);
}

void ThroughputRecorder::completed(std::uint8_t runner, SampleUpdate&& rest)
{
    Lane& l = lane(runner);
    l.take(rest);
    if (l.held)
        l.summary.add(*l.held);
    l.held.reset();
    l.rest = std::move(rest.points);
    l.complete = true;
}

void ThroughputRecorder::completed(std::uint8_t runner, const std::vector<SamplePoint>& history)
{
    Lane& l = lane(runner);
    l.pieces = false;
    l.summary = SeriesSummary(cut_, rate_);
    for (const SamplePoint& p : history)
        l.summary.add(p);
    l.whole = history;
    l.complete = true;
}

Throughput ThroughputRecorder::running() const
{
    Throughput result;
    std::optional<Duration> end;
    for (const auto& [runner, l] : lanes_)
        if (!l.progress.empty())
            end = end ? std::min(*end, l.progress.last().time) : l.progress.last().time;
    if (!end)
        return result;
    std::uint64_t total = 0;
    for (const auto& [runner, l] : lanes_) {
        if (l.progress.empty())
            continue;
        const Around a = l.progress.around(*end);
        std::uint64_t bytes = 0;
        if (a.at_or_after)
            bytes = a.at_or_after->time == *end ? a.at_or_after->bytes : interpolated_bytes(a.before, *a.at_or_after, *end);
        total = total > UINT64_MAX - bytes ? UINT64_MAX : total + bytes;
    }
    result.bytes = total;
    result.duration = *end;
    const double secs = result.duration.as_secs_f64();
    result.bps = secs > 0.0 ? static_cast<double>(result.bytes) * 8.0 / secs : 0.0;
    return result;
}

Throughput ThroughputRecorder::result() const
{
    // compute_throughput, step by step, over the lanes' summaries.
    Throughput result;
    std::optional<Duration> end;
    for (const auto& [runner, l] : lanes_)
        if (l.complete && l.summary.count() > 0)
            end = end ? std::min(*end, l.summary.last()->time) : l.summary.last()->time;
    if (!end)
        return result;
    if (rate_)
        result.raw_history.emplace();
    const bool empty_window = cut_ && *cut_ > *end;

    std::uint64_t total = 0;
    for (const auto& [runner, l] : lanes_) {
        if (!l.complete || l.summary.count() == 0)
            continue;
        const Around a = l.around(*end);
        std::uint64_t at_end = 0;
        std::optional<std::vector<SamplePoint>> points;
        if (a.at_or_after) {
            if (a.at_or_after->time == *end) {
                at_end = a.at_or_after->bytes;
                if (rate_)
                    points = l.summary.downsampled();
            } else {
                at_end = interpolated_bytes(a.before, *a.at_or_after, *end);
                if (rate_) {
                    points = l.summary.downsampled_before(*end, a.before);
                    if (!points->empty())
                        points->push_back(SamplePoint{*end, at_end});
                }
            }
        }
        if (points)
            (*result.raw_history)[runner] = std::move(*points);
        std::uint64_t counted = at_end;
        if (cut_) {
            const std::uint64_t s = l.summary.bytes_at_cut();
            counted = s > at_end ? 0 : at_end - s;
        }
        total = total > UINT64_MAX - counted ? UINT64_MAX : total + counted;
    }
    if (empty_window) {
        result.raw_history.reset();
        return result;
    }
    result.bytes = total;
    result.duration = cut_ ? end->saturating_sub(*cut_) : *end;
    const double secs = result.duration.as_secs_f64();
    result.bps = secs > 0.0 ? static_cast<double>(result.bytes) * 8.0 / secs : 0.0;
    return result;
}

void ThroughputRecorder::prune(const std::vector<std::uint8_t>& waiting)
{
    std::optional<Duration> floor;
    auto lower = [&floor](Duration d) { floor = floor ? std::min(*floor, d) : d; };
    for (const std::uint8_t r : waiting) {
        const auto it = lanes_.find(r);
        if (it == lanes_.end() || it->second.progress.empty())
            return;  // its first report may still lie anywhere
        lower(it->second.progress.last().time);
    }
    for (const auto& [runner, l] : lanes_) {
        if (!l.progress.empty())
            lower(l.progress.last().time);
        if (l.complete && l.summary.count() > 0)
            lower(l.summary.last()->time);
    }
    if (!floor)
        return;
    for (auto& [runner, l] : lanes_)
        l.progress.prune(*floor);
}

std::size_t ThroughputRecorder::retained_points() const
{
    std::size_t n = 0;
    for (const auto& [runner, l] : lanes_)
        n += l.progress.size();
    return n;
}

} // namespace vela_client
