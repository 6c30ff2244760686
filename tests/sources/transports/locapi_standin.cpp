// Stand-in for liblocapi: a service that always knows where it is (48.1 N 11.5 E), or, built with
// LOCAPI_STANDIN_FAIL, one that cannot be reached. It counts the calls so tests can check them.

#include "locapi/locapi.h"

#include <cmath>

namespace {
int g_inits = 0;
int g_dones = 0;
int g_queries = 0;
}  // namespace

extern "C" {

LOCAPI_EXPORT void standin_counts(int* inits, int* dones, int* queries) {
  *inits = g_inits;
  *dones = g_dones;
  *queries = g_queries;
}

uint32_t locapi_Init(void) {
  ++g_inits;
#ifdef LOCAPI_STANDIN_FAIL
  return 0;
#else
  return 0x51u;
#endif
}

int32_t locapi_Query(uint32_t handle, locapi_Location* location) {
  ++g_queries;
  if (handle != 0x51u) return 0;
  // Every third query finds nothing new, like a service between readings.
  if (g_queries % 3 == 0) return 0;
  *location = locapi_Location{2024, 5, 1, 6, 7, 8, 9, 250, 48.1, 11.5, 12.5, 530.25, NAN};
  return 1;
}

void locapi_Done(uint32_t handle) {
  if (handle == 0x51u) ++g_dones;
}

}  // extern "C"
