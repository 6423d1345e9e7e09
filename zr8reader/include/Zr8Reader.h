// Zr8Reader: a media-file reader library (Linux build, decoding with FFmpeg).
//
// Conventions shared by every entry point
// - C linkage. A status is an int32_t in the HRESULT convention: 0 is success, a negative value a
//   failure (ZR8_E_FAIL, ZR8_E_NOINTERFACE, ZR8_E_INVALIDARG, ZR8_E_OUTOFMEMORY, ZR8_E_NOTIMPL,
//   ZR8_E_POINTER, ZR8_E_BOUNDS). No entry point lets an exception escape; a null or foreign
//   handle gives ZR8_E_INVALIDARG (or 0 / a null pointer for entry points that return a value).
// - Handles are opaque pointers. Each kind is released by its own Delete...Handle call, once.
//   Images should be deleted before their stream, streams before their file, but any order is
//   safe: a handle keeps what it needs alive.
// - Paths and text are wchar_t strings (UTF-32 on Linux). A path is turned into the bytes of a
//   file name losslessly: a character U+DC80..U+DCFF stands for the single byte (value - 0xDC00),
//   every other character is written as UTF-8. Names read back from the library use the same
//   scheme in reverse. Text capacities count wchar_t; text is always NUL-terminated within the
//   capacity (truncated when it does not fit; see each
//   entry point).
// - Durations are int64_t counts of 100-nanosecond units.
// - Streams and files may be used from several threads at once, each stream from one thread at a
//   time (calls on one stream are serialised by the library); pools may be shared freely.
// - The library prints nothing.
#ifndef ZR8READER_H_
#define ZR8READER_H_

#include <stddef.h>
#include <stdint.h>
#ifndef __cplusplus
#include <uchar.h>  // char16_t in C
#endif

#if defined(_WIN32)
#define ZR8_API __declspec(dllexport)
#else
#define ZR8_API __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

#define ZR8_S_OK ((int32_t)0)
#define ZR8_S_FALSE ((int32_t)1)
#define ZR8_E_NOTIMPL ((int32_t)0x80004001)
#define ZR8_E_NOINTERFACE ((int32_t)0x80004002)
#define ZR8_E_POINTER ((int32_t)0x80004003)
#define ZR8_E_FAIL ((int32_t)0x80004005)
#define ZR8_E_OUTOFMEMORY ((int32_t)0x8007000E)
#define ZR8_E_INVALIDARG ((int32_t)0x80070057)
#define ZR8_E_BOUNDS ((int32_t)0x8000000B)   // a frame or sample index outside the stream
#define ZR8_E_NOTOPEN ((int32_t)0x80070006)  // the file has been closed (CloseFile)

// Pixel types (int32_t codes). Those the library delivers are marked *.
enum {
  ZR8_PIXEL_NONE = 0,            // in DecodePrefs: the stream's native layout
  ZR8_PIXEL_RGBA_8u = 0x100,     // * R,G,B,A bytes per pixel, one plane
  ZR8_PIXEL_RGBA_16u = 0x101,    // * R,G,B,A little-endian 16-bit words, one plane
  ZR8_PIXEL_RGB_8u = 0x400,      // * R,G,B bytes
  ZR8_PIXEL_BGR_8u = 0x401,      // * B,G,R bytes
  ZR8_PIXEL_RGB_16u = 0x402,     // * R,G,B little-endian 16-bit words
  ZR8_PIXEL_YUYV = 0x1000,       // * packed 4:2:2, Y0 U Y1 V
  ZR8_PIXEL_UYVY = 0x1001,       // * packed 4:2:2, U Y0 V Y1
  ZR8_PIXEL_I420 = 0x2000,       // * planar 4:2:0: Y, then U, then V
  ZR8_PIXEL_NV12 = 0x2001,       // * Y plane, then interleaved U,V plane (4:2:0)
  ZR8_PIXEL_YV12 = 0x2002,       // * planar 4:2:0: Y, then V, then U
  ZR8_PIXEL_YV16 = 0x2003,       // * planar 4:2:2: Y, then V, then U
  ZR8_PIXEL_P010 = 0x2004,       // * as NV12 in 16-bit words, 10 significant bits at the top
  ZR8_PIXEL_P016 = 0x2005,       // * as NV12 in 16-bit words, all 16 bits significant
  ZR8_PIXEL_YUV444 = 0x2008,     // * planar 4:4:4: Y, then U, then V
  ZR8_PIXEL_YUV444_16 = 0x2009,  // * planar 4:4:4 in 16-bit words
  ZR8_PIXEL_P210 = 0x200A,       // * as P010, 4:2:2
  ZR8_PIXEL_P216 = 0x200B        // * as P016, 4:2:2
};
// Pictures are tightly packed: the planes follow one another, each row exactly as many bytes as
// the plane is wide, no padding. A chroma plane subsampled by 2 is ((w+1)/2) wide (and
// ((h+1)/2) high for 4:2:0). YUV types carry limited (video) range; RGB types full range.

// The audio format of one stream. 56 bytes, 8-byte aligned.
typedef struct Zr8AudioCompressedFormat {
  uint32_t format;        // coding family, four characters, the first in the most significant
                          // byte: 'AAC ', 'MP3 ', 'MP2 ', 'OPUS', 'VORB', 'FLAC', 'PCM ', 'AC3 ',
                          // 'EAC3', 'ALAC', 'DTS ', 'WMA ', or the first letters of the decoder's
                          // name in upper case
  uint32_t sampleFormat;  // (offset 4) sample layout delivered by GetSamples: 'F32I' (interleaved
                          // 32-bit float), always
  double sampleRate;      // samples per second
  int32_t channels;       // channels per sample frame
  int32_t bitDepth;       // bits per sample of the source: the coded resolution for PCM and
                          // lossless codings; for lossy codings the decoder's output resolution
                          // (32 for its float output)
  int64_t sampleCount;    // (offset 24) as GetSampleCount
  int64_t duration;       // (offset 32) as GetStreamLength, 100-ns units
  uint32_t avgBitRate;    // bits per second of the coded stream (0 when unknown)
  uint32_t maxBitRate;    // the coded stream's declared maximum, else avgBitRate
  uint32_t fourCC;        // the coding's usual FourCC, first character in the most significant
                          // byte: 'mp4a' (AAC), '.mp3', '.mp2', 'Opus', 'vorb', 'fLaC', 'lpcm'
                          // (integer PCM), 'fl32'/'fl64' (float PCM), 'ac-3', 'ec-3', 'alac',
                          // 'dtsc'; otherwise the container's tag, or 0
  uint32_t reserved52;    // padding
} Zr8AudioCompressedFormat;

// The picture format of a video stream. 144 bytes, 8-byte aligned.
typedef struct Zr8VideoFormat {
  int64_t frameCount;  // (0) as GetFrameCount
  int32_t pixelType;   // (8) pixel type of the pictures GetFrame delivers
  int32_t bitDepth;    // (12) bits per component of the decoded source
  uint32_t imageSize;  // (16) bytes of one delivered picture (Image_TotalSize)
  uint32_t width;      // (20) picture width in pixels
  uint32_t height;     // (24) picture height in pixels
  uint8_t topDown;     // (28) 1: rows from top to bottom (always)
  uint8_t pad29[3];
  int64_t duration;        // (32) as GetStreamLength, 100-ns units
  double displayAspect;    // (40) picture aspect ratio: width * aspectRatio / height
  int64_t startTime;       // (48) presentation time of frame 0, 100-ns units from the file's zero
  uint32_t fullRange;      // (56) 1 when the source is full range (the delivered YUV never is)
  int32_t interlace;       // (60) 0 progressive, 1 top field first, 2 bottom field first
  double aspectRatio;      // (64) pixel aspect ratio (1.0 for square pixels)
  double frameRate;        // (72) frames per second (average rate of the stream)
  double frameDuration;    // (80) 1 / frameRate, seconds (0 when the rate is unknown)
  uint64_t reserved88;     // (88) 0
  int32_t colorSpace;      // (96) colour matrix of the source, ISO/IEC 23091-2 code (1 BT.709,
                           // 5/6 BT.601, 9 BT.2020 NCL, 2 unspecified)
  uint8_t reserved100[8];  // (100) 0
  uint8_t pad108[4];
  uint8_t reserved112[16];  // (112) 0
  uint8_t variableRate;     // (128) 1 when frame durations vary
  uint8_t pad129[7];
  uint64_t reserved136;  // (136) 0
} Zr8VideoFormat;

// The coded form of a video stream. 12 bytes.
typedef struct Zr8VideoCompressedFormat {
  int32_t codecId;  // (0) FFmpeg's codec identifier of the coding
  int32_t profile;  // (4) the coding's profile number, -99 when unknown
  // (8) FourCC, first character in the most significant byte: 'avc1' (H.264), 'hvc1' (HEVC),
  // 'vp09', 'vp08', 'av01', 'mp2v' (MPEG-2), 'mp1v' (MPEG-1), 'mp4v' (MPEG-4 part 2), 'MJPG',
  // 'AVdn' (DNxHD), ProRes: the container's tag ('apcn', 'apch', ...) else 'apcn'; otherwise the
  // container's tag when it is four printable characters, else 0.
  uint32_t fourCC;
} Zr8VideoCompressedFormat;

// Decode preferences. 120 bytes, 8-byte aligned. pixelType, the hardware fields and decoderThreads
// are acted upon; the library keeps the other values as given and reports them back from
// GetDecodePrefs, except the hardware fields, which report what is in effect (software decoding:
// 0 / false / null).
typedef struct Zr8DecodePrefs {
  double reserved0;
  double reserved8;
  uint8_t useOptimalPixelType;  // with pixelType 0: the native layout (or the closest one)
  uint8_t pad17[3];
  int32_t pixelType;  // the type to deliver; 0: the stream's native layout, converted
                      // only when it has no pixel type of its own
  uint32_t reserved24;
  int32_t hardwarePreference;  // 0: the plug-in preference; 2 Intel, 3 AMD (VA-API on the
                               // vendor's render node), 4 NVIDIA (CUDA); see OpenVideoStream
  // The most decoder threads the stream may use; 0: the library chooses. The decoders that run
  // share a budget of (cores + 1) threads across the process: a stream runs one decoder at a time
  // and decodes with an equal share of the budget (with no more than is free), re-dividing it when
  // it seeks, and no more than the core count once it keeps several decoding positions; 1 decodes
  // on the calling thread. The decoders of a stream's other positions keep their threads waiting
  // (a stream keeps fewer positions as more streams are open). Beside them, a stream whose pictures
  // are converted (not delivered in the decoder's own layout) converts in slices on the calling
  // thread and `cores` threads of its converter, opening an audio stream whose count cannot be
  // predicted counts its samples on up to min(cores, 8) threads for the time it takes, and an audio
  // stream of a lossless coding read from its start decodes on min(cores + 1, 4) frame threads.
  uint32_t decoderThreads;
  uint8_t reserved36;
  uint8_t pad37[3];
  double reserved40;
  uint8_t reserved48;
  uint8_t pad49[3];
  uint32_t reserved52;
  uint8_t useCuda;  // with NVIDIA: decode on the device of InitCUDA's cudaId / cudaHandle1
  uint8_t pad57[3];
  int32_t cudaId;
  void* cudaHandle1;
  void* cudaHandle2;
  uint8_t useAmf;  // with AMD: decode on the render node InitAMF opened (amfHandle1)
  uint8_t pad81[7];
  uint64_t reserved88;
  uint32_t reserved96;
  uint32_t pad100;
  void* amfHandle1;
  void* amfHandle2;
} Zr8DecodePrefs;

// The OpenCL objects for GPU pools. 88 bytes.
typedef struct Zr8OpenCLContextInfo {
  void* device;
  void* platform;
  void* context;
  void* commandQueue;
  void* commandQueue2;
  void* commandQueue3;
  uint8_t reserved48[40];
} Zr8OpenCLContextInfo;

// One hardware decoder. 264 bytes; deviceName is UTF-16 (zero-terminated, truncated to fit).
typedef struct Zr8HardwareDecoderInfo {
  int32_t kind;  // 2 Intel, 3 AMD, 4 NVIDIA
  char16_t deviceName[128];
  uint32_t vendorUniqueId;  // the PCI vendor id of the device: 0x10DE NVIDIA, 0x8086 Intel,
                            // 0x1002 AMD
} Zr8HardwareDecoderInfo;

// The hardware detection record: 38,240 bytes, little-endian; its full layout is the one the
// hardware module documents (zr8reader/hardware/include/zr8hardware/Hardware.h, layout version 1):
//   0       256     header: u32 magic 0x4838525A ("ZR8H"), u32 layout version, sizes, device
//                   count, CUDA driver status and version, render nodes found, NVIDIA kernel driver
//   256     64×512  device table: every GPU found (CUDA devices, render nodes), decoders or not
//   33,808  4       decoder count
//   33,812  16×276  decoder list in order of preference: a Zr8HardwareDecoderInfo, a u32 index
//                   into the device table, 8 zero bytes
// Decoders: NVIDIA devices as the CUDA driver numbers them, then the Intel and AMD render nodes
// (/dev/dri/renderD<n>, ascending n).
#define ZR8_DETECTION_RESULTS_SIZE 38240
#define ZR8_DETECTION_COUNT_OFFSET 33808

// ---- Set-up -------------------------------------------------------------------------------------
// Reference counted; every call returns 0. Uninitialize beyond the count returns ZR8_S_FALSE.
ZR8_API int32_t ZR8READER_Initialize(void);
ZR8_API int32_t ZR8READER_Uninitialize(void);
// Non-zero when the file opens, its format is recognised and it holds at least one audio or video
// stream (cover pictures excepted) that can be decoded. Reads the headers only.
ZR8_API int32_t ZR8READER_IsSupported(const wchar_t* path);
// Opens a file. flags: 1 audio, 2 audio, 3 audio and video are all accepted (any value is, the
// streams are opened on demand). bufferPool (CPU buffer pool, may be null) supplies the library's
// working buffers; gpuImagePool may be null. Fails with ZR8_E_FAIL for a file that is missing,
// unreadable, not a regular file, not a recognised media file, or without decodable streams.
ZR8_API int32_t ZR8READER_OpenReadFile(void** file, const wchar_t* path, int32_t flags);
ZR8_API int32_t ZR8READER_OpenReadFileEx(void** file, const wchar_t* path, int32_t flags,
                                         void* bufferPool);
ZR8_API int32_t ZR8READER_OpenReadFileEx2(void** file, const wchar_t* path, int32_t flags,
                                          void* bufferPool, void* gpuImagePool);

// ---- Hardware --------------------------------------------------------------------------------
// LoadCUDA: 0 when the CUDA driver (libcuda.so.1, kept loaded) is there, else ZR8_E_FAIL; the
// driver is also loaded on first use. UnloadCUDA returns 0.
// Every Init call writes a message into text (within capacity, always terminated): on success it
// names the device and its driver, on failure it says why. On failure the out values are 0 / null.
// InitCUDA: retains the primary context of CUDA device `device` (libcuda.so.1): cudaId receives the
//   CUdevice, cudaHandle1 the CUcontext, cudaHandle2 the CUdevice as a pointer-sized value.
// InitQSV / InitAMF: open the first render node of Intel (0x8086) / AMD (0x1002) that opens, for
//   VA-API; qsvHandle / amfHandle1 receive a handle of it, amfHandle2 null. device and mode are
//   not used.
// The Uninit calls release what Init gave and zero the values; they return 0 when nothing is held.
ZR8_API int32_t ZR8READER_LoadCUDA(void);
ZR8_API int32_t ZR8READER_UnloadCUDA(void);
ZR8_API int32_t ZR8READER_InitCUDA(int32_t device, int32_t* cudaId, void** cudaHandle1,
                                   void** cudaHandle2, wchar_t* text, int32_t capacity);
ZR8_API int32_t ZR8READER_UninitCUDA(int32_t* cudaId, void** cudaHandle1, void** cudaHandle2);
ZR8_API int32_t ZR8READER_InitAMF(int32_t device, int32_t mode, void** amfHandle1,
                                  void** amfHandle2, wchar_t* text, int32_t capacity);
ZR8_API int32_t ZR8READER_UninitAMF(void** amfHandle1, void** amfHandle2);
ZR8_API int32_t ZR8READER_InitQSV(int32_t device, int32_t mode, void** qsvHandle, wchar_t* text,
                                  int32_t capacity);
ZR8_API int32_t ZR8READER_UninitQSV(void** qsvHandle);
// Stores the number of hardware decoders in *count and fills up to capacity records, the most
// preferred first; records may be null when capacity is 0. The OOP variants run the detection in
// the helper zr8reader-detect (beside the library, else in zr8reader/ below the library's folder,
// where an install puts it) and wait at most timeoutMs for it (failure statuses: 0x80070002 no
// helper, 0x800705B4 too slow, 0x8007000D a malformed answer); with
// useCache a record saved under $XDG_CACHE_HOME/zr8reader (else ~/.cache/zr8reader) is used while
// the machine's devices and drivers are unchanged.
ZR8_API int32_t ZR8READER_GetSupportedHardwareDecoders(int32_t capacity,
                                                       Zr8HardwareDecoderInfo* records,
                                                       int32_t* count);
ZR8_API int32_t ZR8READER_GetSupportedHardwareDecodersOOP(int32_t capacity,
                                                          Zr8HardwareDecoderInfo* records,
                                                          int32_t* count, int32_t timeoutMs,
                                                          int32_t useCache);
// Fills the 38,240-byte detection record (layout above); dxgiEnumPreference is recorded only.
ZR8_API int32_t ZR8READER_GetHardwareDetectionResults(void* results, int32_t dxgiEnumPreference);
ZR8_API int32_t ZR8READER_GetHardwareDetectionResultsOOP(void* results, int32_t timeoutMs,
                                                         int32_t useCache,
                                                         int32_t dxgiEnumPreference);
// Where the library would look for its helper libraries; stored, 0. A null path resets it.
ZR8_API int32_t ZR8READER_SharedLibrary_SetSearchModeAndPath(int32_t mode, const wchar_t* path);

// ---- Plug-in preferences: stored process-wide, apply to files opened afterwards -------------
ZR8_API int32_t ZR8READER_FIOPluginPrefs_GetHardwareDecoderPreference(int32_t* preference);
ZR8_API int32_t ZR8READER_FIOPluginPrefs_SetHardwareDecoderPreference(int32_t preference);
ZR8_API int32_t ZR8READER_FIOPluginPrefs_GetAVCBroadcastDecoderPreference(int32_t* preference);
ZR8_API int32_t ZR8READER_FIOPluginPrefs_SetAVCBroadcastDecoderPreference(int32_t preference);
ZR8_API int32_t ZR8READER_FIOPluginPrefs_GetCUDAContext(int32_t* cudaId, void** cudaHandle1,
                                                        void** cudaHandle2);
ZR8_API int32_t ZR8READER_FIOPluginPrefs_SetCUDAContext(int32_t cudaId, void* cudaHandle1,
                                                        void* cudaHandle2);
ZR8_API int32_t ZR8READER_FIOPluginPrefs_GetAMFContext(int32_t* device, int32_t* mode,
                                                       void** amfHandle1, void** amfHandle2);
ZR8_API int32_t ZR8READER_FIOPluginPrefs_SetAMFContext(int32_t device, int32_t mode,
                                                       void* amfHandle1, void* amfHandle2);
ZR8_API int32_t ZR8READER_FIOPluginPrefs_GetQSVImplHW(int32_t* implementation);
ZR8_API int32_t ZR8READER_FIOPluginPrefs_SetQSVImplHW(int32_t implementation);

// ---- Files -----------------------------------------------------------------------------------
// Closes the file: its streams keep working (each has its own reader), but no new stream can be
// opened and IsFileOpen returns 0. Closing twice returns ZR8_S_FALSE.
ZR8_API int32_t ZR8READER_ReadFile_CloseFile(void* file);
ZR8_API int32_t ZR8READER_ReadFile_IsFileOpen(void* file);
// The absolute path of the file (lexically normalised). Fails with ZR8_E_BOUNDS, with the text
// truncated and terminated, when capacity is too small; ZR8_E_INVALIDARG when capacity < 1.
ZR8_API int32_t ZR8READER_ReadFile_GetFileName(void* file, wchar_t* name, int32_t capacity);
// The file's duration, 100-ns units (0 when unknown or the handle is bad).
ZR8_API int64_t ZR8READER_ReadFile_GetFileLength(void* file);
// Audio streams: all audio streams, in file order (the same numbering as FFmpeg's "0:a:N").
ZR8_API int32_t ZR8READER_ReadFile_GetAudioStreamCount(void* file);
// Opening an audio stream places its samples on the decoded timeline (see GetSampleCount); the
// timeline, predicted from the packets or counted by a decode, is kept in the index cache as the
// video index is (see OpenVideoStream), and a later open of the same file and stream reads it back
// instead (a predicted one still checked by every decode until one from start to end confirms it).
ZR8_API int32_t ZR8READER_ReadFile_OpenAudioStream(void* file, int32_t index, void** audio);
// Video streams: all video streams in file order, attached pictures (cover art) excluded.
ZR8_API int32_t ZR8READER_ReadFile_GetVideoStreamCount(void* file);
// The preferences a request of pixelType 0 starts from: pixelType the stream's native type, and
// the hardware OpenVideoStream would try for it (the plug-in preference, with the plug-in CUDA
// context or AMF render node); whether that hardware opens shows in GetDecodePrefs once the stream
// is open. The other fields hold the library's defaults.
ZR8_API int32_t ZR8READER_ReadFile_GetDecoderOptions(void* file, int32_t index,
                                                     Zr8DecodePrefs* prefs);
// The pixel types the stream can be delivered in, the native one first. *count receives the
// number of types; up to capacity are written (types may be null when capacity is 0).
ZR8_API int32_t ZR8READER_ReadFile_GetDecoderPixelTypes(void* file, int32_t index, int32_t* types,
                                                        int32_t capacity, int32_t* count);
// The colour matrices of the stream's pictures (one: the source's ISO/IEC 23091-2 code).
ZR8_API int32_t ZR8READER_ReadFile_GetDecoderColorSpaces(void* file, int32_t index,
                                                         int32_t* colorSpaces, int32_t capacity,
                                                         int32_t* count);
// Opens video stream `index` with the preferences (null: pixelType 0) and the image pool from
// which its pictures come (null: a pool of the stream's own). A hardware preference (the
// record's, else the plug-in preference) decodes on that hardware through FFmpeg (CUDA for
// NVIDIA, VA-API for Intel and AMD), pictures copied back and delivered in the pixel type asked
// for. Where the device cannot be set up or cannot decode the coding, and from the point where the
// hardware fails during the stream, it decodes in software; the frames are the same, and
// GetDecodePrefs reports the hardware in effect (hardwarePreference 0 after a fall-back). Builds
// the stream's frame index: frame n is the n-th picture a full sequential decode presents. Where
// every picture's packet carries its own presentation time, without decoding: from the file's own
// sample table for MP4 and MOV (checked against the first and last packets), else from a scan of
// the stream's packets (Matroska, WebM, MPEG-TS, program streams with complete times, ...).
// Where the times cannot give the order, the stream is decoded once, in software with automatic
// threads, and the order is what that decode presented (pictures it drops are not counted): AVI
// (it keeps decode times only), raw elementary streams (.h264, .hevc, .m2v, .m4v: no times), and
// any file whose packets lack a presentation time or share one (program streams with B-pictures),
// and a stream with B-frames whose presentation times equal its decode times (as some phones
// write MP4), which the decoder shows by its pictures' order counts instead.
// That costs about one full decode of the stream at open (some 2 s for 10 s of 1080p H.264 on two
// cores). Intra-only codings (MJPEG, ProRes, FFV1, ...) are ordered as decoded, without it. A
// stream with damage the index sees is decoded once too: a packet its demuxer marks as damaged, or
// an H.264 or HEVC packet whose NAL units do not split or whose NAL unit headers or slice header
// starts the decoder rejects (it drops them). In a file ordered by its times, a packet the decoder
// makes no picture of for a reason found deeper in the slice is still counted (a request for it
// fails, and later frames are numbered one higher than a full decode's).
// The index is kept between runs: a later open of the same file and stream reads it back (some
// 2-20 ms for the 45,000 packets of a half-hour file) instead of scanning or decoding. It lives in
// $XDG_CACHE_HOME/zr8reader (else ~/.cache/zr8reader; no cache when neither is set), one file per
// stream, holding the packets (times, positions, sizes, key flags), the frame order and the
// damage found, under the file's identity (absolute path, size, modification and change times to
// the nanosecond, a hash of its first and last 64 KB), the stream's codec parameters and the
// library's index version: a file changed since, or a cache file that is not valid, is indexed
// again and its cache file rewritten. The folder keeps to 256 MB, least recently used out first.
// ZR8READER_NO_CACHE=1 in the environment turns the cache off (nothing read or written). A cache
// that cannot be read or written never fails an open.
// Fails with ZR8_E_NOINTERFACE when the requested pixel type cannot be produced, ZR8_E_INVALIDARG
// for a bad index, ZR8_E_FAIL when the stream cannot be decoded or the file is closed
// (ZR8_E_NOTOPEN).
ZR8_API int32_t ZR8READER_ReadFile_OpenVideoStream(void* file, int32_t index,
                                                   const Zr8DecodePrefs* prefs, void* imagePool,
                                                   void** video);

// ---- Audio streams ---------------------------------------------------------------------------
// Length of the decoded audio (sample count / rate), 100-ns units.
ZR8_API int64_t ZR8READER_ReadAudioStream_GetStreamLength(void* audio);
// Number of sample frames GetSamples delivers from frame 0 to the end: exactly what a full decode
// by FFmpeg yields (`ffmpeg -i F -map 0:a:N -f f32le -`), with the container's and the coding's
// priming, edit lists, pre-skip, granule and padding trims applied as that decode applies them,
// and packets the decoder rejects as damaged yielding nothing. Predicted, then checked: opening
// reads the packets without decoding them, decodes the first ones (past the priming trims) and the
// last ones (the end trims), and gives every packet between what its coding fixes (one frame
// length for AAC, MPEG audio, AC-3 and E-AC-3; the table of contents for Opus; the exact duration
// for Vorbis, FLAC, ALAC and PCM), where every such packet is plain and agrees with the rule and
// the decoded ones agree too. Every later decode checks each packet's output against it; one that
// differs (damage the demuxer does not flag) makes the stream count anew by a decode, and this
// count then changes to FFmpeg's. Where the prediction does not apply (other codings, durations
// the container rounds, a layout or rate change), opening decodes the stream once from the start
// (without conversion) and records where each packet's output falls: FFmpeg's decode time of the
// stream (some 30 ms of CPU per minute of 48 kHz stereo AAC), spread over the cores in parts where
// the packets fit in 64 MB and the coding allows a part to start mid-stream (AAC, MPEG audio,
// AC-3, Opus, Vorbis, FLAC, ALAC, PCM and a few others). A change of channel layout or sample
// format mid-stream keeps the count; a change of rate is resampled to the stream's rate as a full
// decode resamples it, and counted after resampling.
ZR8_API int64_t ZR8READER_ReadAudioStream_GetSampleCount(void* audio);
// Same record as GetCompressedFormat.
ZR8_API int32_t ZR8READER_ReadAudioStream_GetFormat(void* audio, Zr8AudioCompressedFormat* format);
// Delivers up to maxFrames sample frames from startFrame: interleaved 32-bit float, `channels`
// values per frame, at the full decode's positions at any start and in any order (bit-exact but
// where the coding's decoder synthesises noise, see below). *framesRead
// receives the count delivered (fewer than asked only at the end of the stream). startFrame equal
// to the sample count: 0 frames, status ZR8_S_FALSE. startFrame beyond it or negative:
// ZR8_E_BOUNDS. A null buffer or framesRead, or maxFrames < 0: ZR8_E_INVALIDARG. Decode failures:
// ZR8_E_FAIL; a stream whose decode ends early is completed with silence up to the count.
// Samples come in the stream's declared channel layout and rate (what its first frames had): a
// later change of layout, rate or sample format is converted to them (a stereo part of a mono
// stream is mixed down, a mono part of a stereo stream fills both channels).
// A request that continues the previous one goes on with the same decoder; a start a little ahead
// decodes forward. A read from the start of a FLAC, ALAC, TAK, TTA or WavPack stream decodes on
// frame threads (see Zr8DecodePrefs::decoderThreads), which a read elsewhere does not. Other starts
// seek to a packet before the one holding the start and decode a pre-roll with a fresh decoder, so
// their cost does not depend on the position. Bit-exact with a full decode after it: one packet for
// PCM, FLAC, ALAC, TTA and WavPack, two for AAC and Vorbis, ten for MP3, 48 for Opus (opening
// checks on a few windows of packets that the pre-roll gives the full decode's samples). Codings
// whose decoders synthesise noise from state of unbounded reach decode a pre-roll of two packets
// too, and their samples differ from the full decode's only by that noise, at the same positions:
// at most 3.1e-5 (one step of 16 bits) for MPEG layer II, 0.12 for AC-3 and 0.18 for E-AC-3
// (dither), and up to the substituted noise's own level for AAC with noise substitution (also any
// stream whose check fails). ZR8READER_EXACT_AUDIO=1 in the environment when the stream opens makes
// those decode again from the beginning for a start behind the decoder instead, so that every
// sample is bit-exact; streams whose rate changes and codings not measured (WMA, ADPCM and others)
// always do.
ZR8_API int32_t ZR8READER_ReadAudioStream_GetSamples(void* audio, int64_t startFrame, float* buffer,
                                                     int64_t maxFrames, int64_t* framesRead);
ZR8_API int32_t ZR8READER_ReadAudioStream_GetCompressedFormat(void* audio,
                                                              Zr8AudioCompressedFormat* format);
// Copies the coded bytes of packet startPacket (counted from 0 in file order) into buffer.
// *bytesRead receives the packet's size; when capacity is smaller nothing is copied and the call
// returns ZR8_E_BOUNDS (so a null buffer with capacity 0 asks for the size). A packet number past
// the last: ZR8_E_BOUNDS with *bytesRead 0. The packets are read by a reader of their own, opened
// on the first call and kept; consecutive packets are read on without a seek.
ZR8_API int32_t ZR8READER_ReadAudioStream_GetCompressedSamples(void* audio, int64_t startPacket,
                                                               void* buffer, int64_t capacity,
                                                               int64_t* bytesRead);

// ---- Video streams ---------------------------------------------------------------------------
// Presentation length: from the first frame's time to the end of the last frame, 100-ns units.
ZR8_API int64_t ZR8READER_ReadVideoStream_GetStreamLength(void* video);
// The exact number of frames that a full decode presents.
ZR8_API int64_t ZR8READER_ReadVideoStream_GetFrameCount(void* video);
ZR8_API int32_t ZR8READER_ReadVideoStream_GetFormat(void* video, Zr8VideoFormat* format);
ZR8_API int32_t ZR8READER_ReadVideoStream_GetCompressedFormat(void* video,
                                                              Zr8VideoCompressedFormat* format);
// Hints that a frame will be asked for: accepted and ignored (0); a bad index: ZR8_E_BOUNDS.
ZR8_API int32_t ZR8READER_ReadVideoStream_PrepareFrame(void* video, int64_t frameIndex);
ZR8_API int32_t ZR8READER_ReadVideoStream_CancelPrepareFrame(void* video, int64_t frameIndex);
// The frameIndex-th presented frame (from 0), in any order, as a new image in the stream's pixel
// type from its image pool. Outside 0..count-1: ZR8_E_BOUNDS. Decode failure: ZR8_E_FAIL.
// Reading forward costs one decode per frame. A stream keeps up to eight decoding positions (each
// with its own decoder, one decoding at a time), so requests that alternate between places (such
// as frame i, then count/2 + i) each continue forward; any other frame is decoded from the key
// frame at or before it, or from a position already before it in the same run when that is
// nearer, skipping the pictures before it that nothing refers to (all are decoded once a damaged
// picture has been seen, as a full decode conceals damage from them). Pictures are recognised by
// the packet they were decoded from, never by the file's times. A frame that does not come out
// from its key frame is looked for from one key frame earlier and no further (ZR8_E_FAIL then).
ZR8_API int32_t ZR8READER_ReadVideoStream_GetFrame(void* video, int64_t frameIndex, void** image);
ZR8_API int32_t ZR8READER_ReadVideoStream_GetDecodePrefs(void* video, Zr8DecodePrefs* prefs);

// ---- Pools -----------------------------------------------------------------------------------
// CPU pools recycle memory: a released picture's memory serves the next picture of the same size;
// each pool keeps up to 128 MB of released pictures. They may be shared by any number of files,
// streams and threads.
ZR8_API int32_t ZR8READER_CreateBufferPoolCPU(void** pool);
// GPU buffer pools are not available in this build: ZR8_E_NOTIMPL.
ZR8_API int32_t ZR8READER_CreateBufferPoolGPU(const Zr8OpenCLContextInfo* info, void** pool);
ZR8_API int32_t ZR8READER_CreateImagePoolCPU(void** pool);
// An image pool whose pictures live in OpenCL buffers of info's context (any OpenCL 1.2 device),
// written once converted through a queue of the pool's own on the device of info's commandQueue,
// so that the caller's queue is never waited on. The context is retained while the pool or any of
// its pictures lives; the caller's queue is not kept. ZR8_E_INVALIDARG when info holds no context
// or queue, or the queue is not of the context.
ZR8_API int32_t ZR8READER_CreateImagePoolGPU(const Zr8OpenCLContextInfo* info, void** pool);

// ---- Images ----------------------------------------------------------------------------------
// access: bit 0 read, bit 1 write (1 read-only; 2 or 3 to write; any value is accepted). Returns
// the picture's bytes (valid until Unlock); null for a bad handle. Locks nest; Unlock returns
// ZR8_S_FALSE when not locked. A picture of a GPU pool is mapped into system memory
// (clEnqueueMapBuffer, on the pool's queue) by the first lock, for reading, or for reading and
// writing when that lock writes; a later lock that writes replaces a read-only mapping. The mapping
// outlives Unlock, so that later locks cost nothing: LockForOpenCL ends it (what was written
// reaches the device) before it returns the buffer. Null when the mapping fails.
ZR8_API void* ZR8READER_Image_LockForCPU(void* image, int32_t access);
// No OpenGL pictures in this build: null.
ZR8_API void* ZR8READER_Image_LockForOpenGL(void* image, int32_t access);
// The cl_mem of a picture of a GPU pool (owned by the image: valid until it is deleted; needs no
// Unlock); null for a picture in CPU memory.
ZR8_API void* ZR8READER_Image_LockForOpenCL(void* image, int32_t access);
ZR8_API int32_t ZR8READER_Image_Unlock(void* image);
ZR8_API uint32_t ZR8READER_Image_Width(void* image);
ZR8_API uint32_t ZR8READER_Image_Height(void* image);
ZR8_API int32_t ZR8READER_Image_PixelType(void* image);
// Bit 0: key frame; bit 1: interlaced source; bit 2: the source was full range; bit 3: CPU memory.
ZR8_API uint32_t ZR8READER_Image_Attributes(void* image);
// Bytes per row of plane `plane` (0 first); 0 for a plane the type does not have.
ZR8_API uint32_t ZR8READER_Image_RowBytes(void* image, int32_t plane);
ZR8_API uint32_t ZR8READER_Image_TotalSize(void* image);
// Pixel aspect ratio of the picture.
ZR8_API double ZR8READER_Image_PAR(void* image);

// ---- Release ---------------------------------------------------------------------------------
// Each returns 0, or ZR8_E_INVALIDARG for a null or foreign handle. DeleteBufferHandle: no entry
// point hands out buffer handles in this build, so it always answers ZR8_E_INVALIDARG.
ZR8_API int32_t ZR8READER_DeleteBufferPoolHandle(void* pool);
ZR8_API int32_t ZR8READER_DeleteBufferHandle(void* buffer);
ZR8_API int32_t ZR8READER_DeleteImagePoolHandle(void* pool);
ZR8_API int32_t ZR8READER_DeleteImageHandle(void* image);
ZR8_API int32_t ZR8READER_DeleteReadFileHandle(void* file);
ZR8_API int32_t ZR8READER_DeleteReadAudioStreamHandle(void* audio);
ZR8_API int32_t ZR8READER_DeleteReadVideoStreamHandle(void* video);

#ifdef __cplusplus
}  // extern "C"
#endif

#ifdef __cplusplus
static_assert(sizeof(Zr8AudioCompressedFormat) == 56, "audio format record");
static_assert(sizeof(Zr8VideoFormat) == 144, "video format record");
static_assert(offsetof(Zr8VideoFormat, interlace) == 60, "video format record");
static_assert(offsetof(Zr8VideoFormat, colorSpace) == 96, "video format record");
static_assert(offsetof(Zr8VideoFormat, reserved100) == 100, "video format record");
static_assert(offsetof(Zr8VideoFormat, variableRate) == 128, "video format record");
static_assert(sizeof(Zr8VideoCompressedFormat) == 12, "video coding record");
static_assert(sizeof(Zr8DecodePrefs) == 120, "decode preferences record");
static_assert(offsetof(Zr8DecodePrefs, pixelType) == 20, "decode preferences record");
static_assert(offsetof(Zr8DecodePrefs, amfHandle2) == 112, "decode preferences record");
static_assert(sizeof(Zr8OpenCLContextInfo) == 88, "OpenCL record");
static_assert(sizeof(Zr8HardwareDecoderInfo) == 264, "hardware decoder record");
#endif

#endif  // ZR8READER_H_
