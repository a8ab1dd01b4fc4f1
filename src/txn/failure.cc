#include "txn/failure.h"

#include <cstring>

namespace installer {

std::string describe(const TxnFailure& failure) {
  std::string text = failure.operation;
  if (!text.empty()) text += ' ';
  text += failure.path;
  text += ": ";
  text += failure.reason != nullptr ? failure.reason : std::strerror(failure.error);
  return text;
}

void noteFailure(TxnFailures* failures, TxnFailure failure) {
  if (failures != nullptr) failures->push_back(std::move(failure));
}

}  // namespace installer
