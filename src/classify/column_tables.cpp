#include "classify/column_tables.h"

namespace quorvel {

void ColumnTables::grow(TypeId type) { counts.resize(type + 1, 0); }

ColumnTables& ColumnTableSet::of(const std::string& columnName) {
  const auto found = index_.find(columnName);
  if (found != index_.end()) return tables_[found->second];
  ColumnTables& added = tables_.emplace_back(ColumnTables{columnName, {}, {}, {}, {}, {}});
  index_.emplace(added.name, tables_.size() - 1);
  return added;
}

ColumnTables& ColumnTableSet::start(const std::string& name) {
  ColumnTables& column = of(name);
  const std::size_t typeCount = table_.names().size();
  column.regexOrdering = table_.types();
  column.counts.assign(typeCount, 0);
  column.shown.assign(typeCount, false);
  for (TypeId type : table_.types()) column.shown[type] = true;
  column.shown[PatternTable::kOther] = true;
  column.shown[PatternTable::kNA] = true;
  column.examples.clear();
  return column;
}

CandidateCounts ColumnTableSet::counts() const {
  CandidateCounts result;
  for (const ColumnTables& column : tables_) {
    auto& counts = result[column.name];
    for (std::size_t type = 0; type < column.counts.size(); ++type) {
      if (column.counts[type] != 0 || (type < column.shown.size() && column.shown[type])) {
        counts[table_.names()[type]] = column.counts[type];
      }
    }
  }
  return result;
}

CellExampleTable ColumnTableSet::examples(const std::vector<std::string>& names) const {
  CellExampleTable result;
  for (const std::string& name : names) {
    const ColumnTables& column = tables_[index_.at(name)];
    auto& byName = result[name];
    for (std::size_t type = 0; type < column.examples.byType().size(); ++type) {
      const std::vector<CellExample>& kept = column.examples.byType()[type];
      if (!kept.empty()) byName[table_.names()[type]] = kept;
    }
  }
  return result;
}

std::unordered_map<std::string, std::vector<std::string>> ColumnTableSet::orders() const {
  std::unordered_map<std::string, std::vector<std::string>> result;
  for (const ColumnTables& column : tables_) {
    std::vector<std::string>& names = result[column.name];
    for (TypeId type : column.regexOrdering) names.push_back(table_.names()[type]);
  }
  return result;
}

}  // namespace quorvel
