/* locapi: a small library that answers "where is this machine?" for Geomuxer's location-service
 * source. The program loads it at run time and polls it once a second. Plain C ABI so that any
 * backend (gpsd here, the platform's location service elsewhere) can stand behind it. */
#ifndef GEOMUXER_LOCAPI_H
#define GEOMUXER_LOCAPI_H

#include <stdint.h>

#if defined(_WIN32)
#define LOCAPI_EXPORT __declspec(dllexport)
#else
#define LOCAPI_EXPORT __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

#pragma pack(push, 1)
/* One reading; little-endian, packed, 56 bytes. */
typedef struct locapi_Location {
  /* Time of the reading, UTC; dayOfWeek 0 = Sunday. */
  uint16_t year;
  uint16_t month;
  uint16_t dayOfWeek;
  uint16_t day;
  uint16_t hour;
  uint16_t minute;
  uint16_t second;
  uint16_t milliseconds;
  double latitude;      /* degrees, north positive */
  double longitude;     /* degrees, east positive */
  double errorRadius;   /* horizontal error, metres; NaN when unknown */
  double altitude;      /* above mean sea level, metres; NaN when unknown */
  double altitudeError; /* metres; NaN when unknown */
} locapi_Location;
#pragma pack(pop)

#ifdef __cplusplus
static_assert(sizeof(locapi_Location) == 56, "locapi_Location is 56 bytes");
#else
_Static_assert(sizeof(locapi_Location) == 56, "locapi_Location is 56 bytes");
#endif

/* Opens a connection to the location service; 0 on failure. */
LOCAPI_EXPORT uint32_t locapi_Init(void);
/* Fills `location` with the newest reading; non-zero when it did. Does not block. */
LOCAPI_EXPORT int32_t locapi_Query(uint32_t handle, locapi_Location* location);
/* Closes a connection; 0 and unknown handles are ignored. */
LOCAPI_EXPORT void locapi_Done(uint32_t handle);
/* Optional: non-zero while the connection still reaches the location service. A host that finds
 * this entry point closes a connection that lost its service and opens a new one; a library
 * without it is taken to stay connected. */
LOCAPI_EXPORT int32_t locapi_Connected(uint32_t handle);

typedef uint32_t (*locapi_InitFunction)(void);
typedef int32_t (*locapi_QueryFunction)(uint32_t, locapi_Location*);
typedef void (*locapi_DoneFunction)(uint32_t);
typedef int32_t (*locapi_ConnectedFunction)(uint32_t);

#ifdef __cplusplus
}
#endif

#endif
