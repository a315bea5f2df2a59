// A library that has the first call of the table and nothing else, for the loader's test.
#include <cstdint>

extern "C" __attribute__((visibility("default"))) int32_t XL_Init() {
  return 1;
}
