#include "error.h"

namespace brevok {

std::string Error::full() const {
  std::string out;
  for (auto it = chain_.rbegin(); it != chain_.rend(); ++it) {
    if (!out.empty() || it != chain_.rbegin()) out += ": ";
    out += *it;
  }
  return out;
}

}  // namespace brevok
