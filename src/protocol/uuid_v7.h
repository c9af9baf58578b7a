#pragma once

#include <chrono>
#include <string>

namespace vorlund {

// A fresh pinch identifier: RFC 9562 version 7, 36 lower-case characters.
std::string uuidV7();
std::string uuidV7(std::chrono::system_clock::time_point now);

} // namespace vorlund
