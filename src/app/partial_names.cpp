#include "app/partial_names.h"

namespace corvantel {

std::string partialName(const std::string& localName) { return "." + localName + "."; }

bool isPartialDownload(const std::string& name) {
    const std::string suffix = partSuffix;
    return name.size() > suffix.size() && name.front() == '.' &&
           name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0;
}

}  // namespace corvantel
