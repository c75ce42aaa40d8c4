#include "cell/cell_examples.h"

namespace quorvel {

void ColumnExamples::keep(TypeId type, std::string_view text, std::uint64_t row) {
  const auto slot = static_cast<std::size_t>(type);
  if (slot >= byType_.size()) byType_.resize(slot + 1);
  std::vector<CellExample>& kept = byType_[slot];
  if (kept.size() >= kKept) return;
  kept.push_back(CellExample{std::string(text.substr(0, kTextBytes)), text.size(), row});
}

}  // namespace quorvel
