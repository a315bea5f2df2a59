// What a task's failure code means to the user. The engine reports an HTTP status (400 and up)
// or an errno value (below 400), the queue kFailureNotCreated; the downloads keep only the code,
// and the window shows its text in Chinese (GBK), the terminal in English, both from one table.
#pragma once

#include <cstdint>
#include <string>

namespace sf {

// "HTTP 403", "连接被拒绝", "磁盘已满", ...; an unknown code as "错误 N". GBK.
std::string FailureText(int32_t code);
// "HTTP 403", "connection refused", "disk full", ...; an unknown code as "error N".
std::string FailureTextEnglish(int32_t code);

}  // namespace sf
