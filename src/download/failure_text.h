// What a task's failure code means to the user. The engine reports an HTTP status (400 and up)
// or an errno value (below 400); the window shows the text in Chinese (GBK), the terminal in
// English, both from one table.
#pragma once

#include <cstdint>
#include <string>

namespace sf {

// The queue's own code for a task the engine would not even create (XL_CreateTask gave 0).
inline constexpr int32_t kFailureNotCreated = -1;

// "HTTP 403", "连接被拒绝", "磁盘已满", ...; an unknown code as "错误 N". GBK.
std::string FailureText(int32_t code);
// "HTTP 403", "connection refused", "disk full", ...; an unknown code as "error N".
std::string FailureTextEnglish(int32_t code);

}  // namespace sf
