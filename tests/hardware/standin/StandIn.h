/* What the stand-in driver libraries record, read by the tests through dlsym. */
#ifndef ZR8_STANDIN_H
#define ZR8_STANDIN_H

typedef struct StandInCuda {
  unsigned int primaryFlags;        /* the primary context's flags now */
  unsigned int flagsWhenMadeActive; /* its flags when the first retain made it active */
  int primaryRetains;               /* retains not yet released */
  void* primaryContext;             /* the primary context's handle, once retained */
  void* lastPushed;                 /* the context last made current */
  int pushes;
  int contextsCreated; /* contexts made apart from the primary one */
} StandInCuda;

typedef struct StandInNvcuvid {
  int capsQueries; /* decoder capability queries answered "not supported" */
  int lastCodec;   /* the coding of the last query (cudaVideoCodec) */
} StandInNvcuvid;

#endif
