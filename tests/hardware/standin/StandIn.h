/* The stand-in NVIDIA driver's state, read and set by the tests through dlsym. */
#ifndef ZR8_STANDIN_H
#define ZR8_STANDIN_H

enum { kStandInMaxDevices = 32 };

typedef struct StandInCuda {
  /* Set by the tests: the devices ("Stand-in GPU", "Stand-in GPU 1", ...), cuInit's and
   * cuDevicePrimaryCtxRetain's answers. */
  int deviceCount;
  int initResult;
  int retainResult;
  unsigned int primaryFlags;        /* the primary contexts' flags now (one for all devices) */
  unsigned int flagsWhenMadeActive; /* their flags when a first retain made one active */
  int primaryRetains;               /* retains not yet released, all devices together */
  void* primaryContext;             /* the primary context last retained */
  void* lastPushed;                 /* the context last made current */
  int contextsCreated;              /* contexts made apart from the primary ones */
} StandInCuda;

typedef struct StandInNvcuvid {
  int capsQueries; /* decoder capability queries answered "not supported" */
} StandInNvcuvid;

#endif
