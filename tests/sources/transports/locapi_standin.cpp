// Stand-in for liblocapi: a service that always knows where it is (48.1 N 11.5 E), or, built with
// LOCAPI_STANDIN_FAIL, one that cannot be reached until the test says it runs. It counts the calls
// so tests can check them, and the test can take the service away from an open connection.

#include "locapi/locapi.h"

#include <cmath>

namespace {
int g_inits = 0;
int g_dones = 0;
int g_queries = 0;
#ifdef LOCAPI_STANDIN_FAIL
bool g_running = false;
#else
bool g_running = true;
#endif
bool g_connected = true;
}  // namespace

extern "C" {

LOCAPI_EXPORT void standin_counts(int* inits, int* dones, int* queries) {
  *inits = g_inits;
  *dones = g_dones;
  *queries = g_queries;
}

/* Starts or stops the service: a stopped one refuses new connections and drops the open one. */
LOCAPI_EXPORT void standin_setRunning(int running) {
  g_running = running != 0;
  if (!g_running) g_connected = false;
}

uint32_t locapi_Init(void) {
  ++g_inits;
  if (!g_running) return 0;
  g_connected = true;
  return 0x51u;
}

int32_t locapi_Connected(uint32_t handle) { return handle == 0x51u && g_connected ? 1 : 0; }

int32_t locapi_Query(uint32_t handle, locapi_Location* location) {
  ++g_queries;
  if (handle != 0x51u || !g_connected) return 0;
  // Every third query finds nothing new, like a service between readings.
  if (g_queries % 3 == 0) return 0;
  *location = locapi_Location{2024, 5, 1, 6, 7, 8, 9, 250, 48.1, 11.5, 12.5, 530.25, NAN};
  return 1;
}

void locapi_Done(uint32_t handle) {
  if (handle == 0x51u) ++g_dones;
}

}  // extern "C"
