#include "blocks/common/counter_grid.h"

#include "core/text_builder.h"

#include <charconv>

namespace {
// Counters are written as signed 32-bit numbers, as the clients expect. A
// spectrum is mostly zeros: they take the short way, and the digits go
// through a stack buffer appended in pieces rather than character by character.
template <typename Read>
void appendCounters(TextBuilder& text, int count, Read read)
{
    constexpr int kPiece = 4096;
    char buffer[kPiece * 12 + 2];
    char* p = buffer;
    *p++ = '[';
    for (int i = 0; i < count; ++i) {
        if (i > 0)
            *p++ = ',';
        const auto value = static_cast<int32_t>(read(i));
        if (value == 0)
            *p++ = '0';
        else
            p = std::to_chars(p, p + 12, value).ptr;
        if (p - buffer > kPiece * 12 - 12) {
            text.append(buffer, static_cast<size_t>(p - buffer));
            p = buffer;
        }
    }
    *p++ = ']';
    text.append(buffer, static_cast<size_t>(p - buffer));
}
}  // namespace

CounterGrid::CounterGrid(int rows, int columns)
    : m_rows(rows > 0 ? rows : 0),
      m_columns(columns > 0 ? columns : 0),
      m_counts(size_t(m_rows) * size_t(m_columns))
{
    clear();
}

void CounterGrid::clear()
{
    for (std::atomic<uint32_t>& count : m_counts)
        count.store(0, std::memory_order_relaxed);
}

void CounterGrid::appendMatrix(TextBuilder& text, ReadMode mode)
{
    text.reserve(text.size() + worstCaseBytes(m_rows));
    text.append("{\"data\":[");
    for (int row = 0; row < m_rows; ++row) {
        if (row > 0)
            text.append(',');
        std::atomic<uint32_t>* counts = m_counts.data() + index(row, 0);
        if (mode == TakeAndClear)
            appendCounters(text, m_columns,
                           [counts](int i) { return counts[i].exchange(0, std::memory_order_relaxed); });
        else
            appendCounters(text, m_columns, [counts](int i) { return counts[i].load(std::memory_order_relaxed); });
    }
    text.append("]}");
}

void CounterGrid::appendRowList(TextBuilder& text, const std::vector<int>& listedRows) const
{
    std::vector<bool> listed(size_t(m_rows), false);
    int listedCount = 0;
    for (int row : listedRows) {
        if (row >= 0 && row < m_rows && !listed[size_t(row)]) {
            listed[size_t(row)] = true;
            ++listedCount;
        }
    }
    text.reserve(text.size() + worstCaseBytes(listedCount));
    text.append('[');
    bool first = true;
    for (int row = 0; row < m_rows; ++row) {
        if (!listed[size_t(row)])
            continue;
        if (!first)
            text.append(',');
        first = false;
        const std::atomic<uint32_t>* counts = m_counts.data() + index(row, 0);
        text.append("{\"data\":");
        appendCounters(text, m_columns, [counts](int i) { return counts[i].load(std::memory_order_relaxed); });
        text.append('}');
    }
    text.append(']');
}
