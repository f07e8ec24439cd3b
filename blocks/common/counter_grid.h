// A rectangle of 32-bit counters that one worker thread increments while the
// main thread reads and clears it: spectra (a row per channel), heat maps and
// images (a row per pixel row).
//
// Every counter is a relaxed atomic, so the worker never waits for a reader:
// a reader sees whole values, and a reply is formatted without any lock.
//
//     CounterGrid image(2, 3);
//     image.increment(1, 0);
//     TextBuilder text;
//     image.appendMatrix(text, CounterGrid::Keep);   // {"data":[[0,0,0],[1,0,0]]}
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <vector>

class TextBuilder;

class CounterGrid {
public:
    enum ReadMode { Keep, TakeAndClear };

    CounterGrid(int rows, int columns);

    int rows() const { return m_rows; }
    int columns() const { return m_columns; }

    // row and column must lie inside the grid.
    void increment(int row, int column)
    {
        m_counts[index(row, column)].fetch_add(1, std::memory_order_relaxed);
    }
    uint32_t value(int row, int column) const
    {
        return m_counts[index(row, column)].load(std::memory_order_relaxed);
    }
    void clear();

    // {"data":[[row 0],[row 1],...]}; {"data":[]} without rows. With TakeAndClear
    // every counter is read and zeroed in one step, so no count is lost to a
    // concurrent increment.
    void appendMatrix(TextBuilder& text, ReadMode mode);

    // [{"data":[row a]},{"data":[row b]}] for every row that is listed at least
    // once, in ascending order; listed numbers outside the grid are skipped.
    void appendRowList(TextBuilder& text, const std::vector<int>& listedRows) const;

private:
    size_t index(int row, int column) const { return size_t(row) * size_t(m_columns) + size_t(column); }
    // Room for every counter as "-2147483648," plus the brackets of each row.
    size_t worstCaseBytes(int rows) const { return size_t(rows) * (size_t(m_columns) * 12 + 16) + 16; }

    int m_rows;
    int m_columns;
    std::vector<std::atomic<uint32_t>> m_counts;
};
