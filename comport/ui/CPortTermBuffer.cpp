// The terminal's character grid.
#include "CPortTerm.h"

#include <algorithm>

void TComTermBuffer::Init() {
  FColumns = Terminal->Columns();
  FRows = Terminal->Rows();
  FTop = 0;
  FCells.assign(std::size_t(FColumns) * std::size_t(FRows), TComTermChar{});
  FTabStops.assign(std::size_t(FColumns), false);
  for (int c = 1; c <= FColumns; c += 8) FTabStops[std::size_t(c - 1)] = true;
}

void TComTermBuffer::Relay(int columns, int rows, int drop) {
  std::vector<TComTermChar> cells(std::size_t(columns) * std::size_t(rows));
  for (int r = 1; r <= rows && r + drop <= FRows; ++r)
    std::copy_n(Row(r + drop), std::min(columns, FColumns), &cells[std::size_t(r - 1) * std::size_t(columns)]);
  FCells = std::move(cells);
  FTop = 0;
  FTabStops.resize(std::size_t(columns), false);
  for (int c = FColumns + 1; c <= columns; ++c) FTabStops[std::size_t(c - 1)] = (c - 1) % 8 == 0;
  FColumns = columns;
  FRows = rows;
}

void TComTermBuffer::SetChar(int column, int row, const TComTermChar& cell) {
  if (column < 1 || column > FColumns || row < 1 || row > FRows) return;
  FCells[Index(column, row)] = cell;
}

TComTermChar TComTermBuffer::GetChar(int column, int row) const {
  if (column < 1 || column > FColumns || row < 1 || row > FRows) return {};
  return FCells[Index(column, row)];
}

void TComTermBuffer::EmptyRow(int row) {
  std::fill_n(&FCells[Index(1, row)], FColumns, TComTermChar{});
}

void TComTermBuffer::ScrollDown() {
  if (FRows == 0) return;
  // Row 1 leaves at the top and comes back empty as the last row.
  Terminal->KeepTopRow(1);
  FTop = FTop + 1 == FRows ? 0 : FTop + 1;
  EmptyRow(FRows);
  Terminal->GridScrolled(true);
}

void TComTermBuffer::ScrollUp() {
  if (FRows == 0) return;
  FTop = FTop == 0 ? FRows - 1 : FTop - 1;
  EmptyRow(1);
  Terminal->GridScrolled(false);
}

void TComTermBuffer::EraseLine(int column, int row) {
  if (row < 1 || row > FRows) return;
  column = std::max(column, 1);
  if (column > FColumns) return;
  std::fill_n(&FCells[Index(column, row)], FColumns - column + 1, TComTermChar{});
  Terminal->InvalidateCells(column, row, FColumns, row);
}

void TComTermBuffer::EraseScreen(int column, int row) {
  if (row < 1 || row > FRows) return;
  const int first = std::max(column, 1);
  if (first <= FColumns) std::fill_n(&FCells[Index(first, row)], FColumns - first + 1, TComTermChar{});
  for (int r = row + 1; r <= FRows; ++r) EmptyRow(r);
  Terminal->InvalidateCells(1, row, FColumns, FRows);
}

bool TComTermBuffer::GetTab(int column) const {
  return column >= 1 && column <= FColumns && FTabStops[std::size_t(column - 1)];
}

void TComTermBuffer::SetTab(int column, bool on) {
  if (column >= 1 && column <= FColumns) FTabStops[std::size_t(column - 1)] = on;
}

int TComTermBuffer::NextTab(int column) const {
  for (int c = std::max(column, 1); c <= FColumns; ++c)
    if (FTabStops[std::size_t(c - 1)]) return c;
  return 0;
}

void TComTermBuffer::ClearAllTabs() { std::fill(FTabStops.begin(), FTabStops.end(), false); }

int TComTermBuffer::GetLineLength(int row) const {
  if (row < 1 || row > FRows) return 0;
  const TComTermChar* cells = Row(row);
  for (int c = FColumns; c >= 1; --c)
    if (cells[c - 1].Ch != 0) return c;
  return 0;
}

int TComTermBuffer::GetLastLine() const {
  for (int r = FRows; r >= 1; --r)
    if (GetLineLength(r) > 0) return r;
  return 0;
}
