// The processor choice shared by the CPUID and MSR windows.
#pragma once

#include <QComboBox>
#include <string>
#include <vector>

namespace kvt {

// Fills the list with the model's entries ("#0", "#1", ...), selects the first and enables
// the list as the model says, without announcing a change of selection.
void FillProcessorList(QComboBox* list, const std::vector<std::string>& entries, bool enabled);

}  // namespace kvt
