/*
 * belmarun-audioextract: look inside media files and copy one audio stream into a file of its own,
 * without re-encoding.
 *
 * Conventions for every call below:
 *  - Paths are NUL-terminated byte strings (UTF-8 on Windows). An input path without a scheme, or with
 *    "file:", opens that one local file and nothing else: a playlist, manifest or concat script is read as
 *    one only when its own extension says so (.m3u8/.m3u, .mpd, .ffconcat, .xml for IMF), so a file named
 *    .mp4 can never make the library read the files it lists, and no entry of a followed playlist or
 *    script is itself followed as one. Schemes that name lists of files (concatf:, hls+...:, bluray:)
 *    are refused. Other addresses (http:, https:, ...) are
 *    opened as FFmpeg opens them; a network read that stalls for 10 seconds fails.
 *  - An output path is always one local file ("file:" names the path behind it; URLs and pipes are
 *    refused). It is written under a temporary name in its own directory and renamed onto its name only
 *    when complete, so what was at that name survives every failure and cancel.
 *  - Texts returned are NUL-terminated JSON objects owned by the library; never free them, and copy what
 *    must outlive the lifetime given for each call. Texts from paths and files are escaped: '"' and '\'
 *    get a backslash, control bytes become \u00XX, other bytes are copied as they are: paths and tags stay
 *    byte for byte what they were, so a name that is not UTF-8 makes the JSON text invalid UTF-8 (a host
 *    that decodes it must allow for that).
 *  - The host makes the calls from one thread at a time: no call takes a lock. Extraction workers run on
 *    threads of the library's own beside the host thread. One exception: audioextract_probe shares no
 *    state with the six session calls, so one thread may probe (a slow network source, say) while another
 *    starts, polls, cancels and frees sessions. Two probes never overlap, nor two session calls.
 *  - Memory: FFmpeg trusts the sizes a file declares, and a few hundred bytes can ask it for gigabytes (a
 *    RIFF chunk, an MP4 sample table). Its only bound is process-wide, so the library leaves it to the
 *    host: a host that handles untrusted files should call libavutil's av_max_alloc(64 MiB) before its
 *    first call here (the command-line host and the Python package do; a stream copy of real files,
 *    MP4 indexes of many hours included, stays well below that).
 *  - At most AE_MAX_SESSIONS extractions exist at once; a session holds its slot from a successful
 *    audioextract_start until audioextract_free, whatever state it has reached.
 */
#ifndef AUDIOEXTRACT_H
#define AUDIOEXTRACT_H

#include <stdint.h>

#if defined(_WIN32)
#  define AE_CALL __cdecl
#  if defined(AE_BUILDING_LIBRARY)
#    define AE_API __declspec(dllexport)
#  else
#    define AE_API __declspec(dllimport)
#  endif
#else
#  define AE_CALL
#  if defined(AE_BUILDING_LIBRARY)
#    define AE_API __attribute__((visibility("default")))
#  else
#    define AE_API
#  endif
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Session state codes, as audioextract_status returns them. 3, 4 and 5 are final; 1 is never used. */
#define AE_STATE_PENDING 0   /* the slot is set up; the worker has not begun */
#define AE_STATE_RUNNING 2   /* the worker is opening the input or copying packets */
#define AE_STATE_DONE 3      /* the output file is complete */
#define AE_STATE_CANCELLED 4 /* stopped on request; the output file the session wrote is gone */
#define AE_STATE_FAILED 5    /* stopped on an error; the result report carries its text */

/* How many sessions can exist at once; session ids run from 0 to AE_MAX_SESSIONS - 1. */
#define AE_MAX_SESSIONS 4

/* The longest path, in bytes, that audioextract_start takes. */
#define AE_MAX_PATH_BYTES 1198

/* What audioextract_start returns when it starts nothing. */
#define AE_ERR_BAD_PATH (-1) /* a path is NULL, empty or longer than 1,198 bytes */
#define AE_ERR_NO_SLOT (-2)  /* every slot is held: free a session first */
#define AE_ERR_THREAD (-3)   /* the worker thread could not be created */

/*
 * audioextract_probe - describe a media file.
 *   path: the file to read.
 * Returns a JSON object, never NULL:
 *   {"ok":true,"duration_ms":N,"format":"...","audio_streams":[{"index":I,"codec":"...","channels":C,
 *    "sample_rate":R,"bitrate":B,"language":"...","suggested_ext":"..."},...],
 *    "streams":[{"index":I,"type":"video|audio|subtitle|other","codec":"...","width":W,"height":H,
 *    "fps":F},...]}
 *   or {"ok":false,"error":"empty path" | "open: <reason>" | "no stream info"}.
 *   A probe gives up after 15 seconds (a silent server, a live playlist) with its failure report.
 *   "index" is the stream's index among all streams of the file: the number audioextract_start takes.
 *   The report always fits 65,536 bytes; a file with more streams than fit has its lists shortened, and the
 *   report then ends with "truncated":true (the key is absent from a complete report). A language tag is
 *   cut to 255 bytes as escaped, between UTF-8 characters.
 * Ownership: one library buffer, overwritten by the next audioextract_probe call.
 * Thread: the host thread, or one thread beside the one making session calls; blocks while the file is
 * opened and its stream information read.
 */
AE_API const char *AE_CALL audioextract_probe(const char *path);

/*
 * audioextract_start - begin copying one audio stream of in_path into out_path on a worker thread.
 *   in_path:      the input file; at most 1,198 bytes.
 *   out_path:     the output file; at most 1,198 bytes; its extension chooses the container.
 *   stream_index: index of an audio stream among all the input's streams, or negative for the first one.
 * Returns the session id, 0 to AE_MAX_SESSIONS - 1 (the lowest free one), or AE_ERR_BAD_PATH,
 *   AE_ERR_NO_SLOT (sessions that have ended hold their slots until freed) or AE_ERR_THREAD.
 * Problems with the files themselves do not show here: the session ends in AE_STATE_FAILED.
 * A file already at out_path (or, on Linux, at the target of a symbolic link there) is replaced only when
 * the session is done, by a new file that takes its permission bits (and its owner and group where the
 * process may set them); a directory, FIFO or device there is refused, and so is a file the directory
 * would not let the process replace (a sticky directory). out_path naming a file the input reads (under
 * any name, scheme or playlist entry) fails with "cannot open output file" before anything is written.
 * Containers that write files of their own (playlists, segments, image sequences) are refused, and so is
 * a codec the container is known not to hold. The finished file is read back before it takes its name:
 * if no reader finds the stream with its codec, or its first packets do not decode, the session fails with
 * "write header failed (codec/container mismatch?)".
 * Thread: the host thread; does not block.
 */
AE_API int32_t AE_CALL audioextract_start(const char *in_path, const char *out_path, int32_t stream_index);

/*
 * audioextract_status - the session's state code (AE_STATE_*), or -1 for a bad id (not 0 to
 * AE_MAX_SESSIONS - 1, or a slot that is not held). Thread: the host thread; does not block.
 */
AE_API int32_t AE_CALL audioextract_status(int32_t id);

/*
 * audioextract_progress - where a session has got to.
 * Returns {"state":S,"percent":P,"processed_ms":N,"total_ms":N,"packets":N}, percent with one decimal
 * (100.0 once done), or {"error":"bad id"}.
 * Ownership: a buffer of the session, overwritten by its next audioextract_progress call and by the reuse of
 * the slot. Thread: the host thread, while the worker runs; does not block.
 */
AE_API const char *AE_CALL audioextract_progress(int32_t id);

/*
 * The error texts of a failed session's result report, each named once. The first five are about the input
 * (a host that reports a failure names the input for these, and the output for the rest); AE_INPUT_TEXTS
 * lists them, for an array initializer.
 */
/* the system's or FFmpeg's reason follows after ": " ("No such file or directory", "Is a directory",
   "Permission denied", ...) */
#define AE_TEXT_OPEN_INPUT "cannot open input"
#define AE_TEXT_NO_STREAM_INFO "no stream info"
#define AE_TEXT_NO_AUDIO_STREAM "no audio stream"
/* the source reported an error, stalled or broke off, or an entry of a followed playlist could not be read;
   a damaged or truncated file is not one: its end ends the session done */
#define AE_TEXT_READ_FAILED "read failed"
/* a later part of a chained stream (joined Ogg recordings, say) has another sample rate or channel count
   than the first: its packets cannot go on under the output's header */
#define AE_TEXT_FORMAT_CHANGES "audio format changes mid-stream"
#define AE_INPUT_TEXTS \
    AE_TEXT_OPEN_INPUT, AE_TEXT_NO_STREAM_INFO, AE_TEXT_NO_AUDIO_STREAM, AE_TEXT_READ_FAILED, AE_TEXT_FORMAT_CHANGES
#define AE_TEXT_BAD_EXTENSION "cannot create output (bad extension?)"
#define AE_TEXT_NEW_STREAM "new stream failed"
#define AE_TEXT_PARAM_COPY "param copy failed"
#define AE_TEXT_OPEN_OUTPUT "cannot open output file"
/* also: the finished file, read back, did not show the stream with its codec or its first packets did not
   decode */
#define AE_TEXT_WRITE_HEADER "write header failed (codec/container mismatch?)"
#define AE_TEXT_WRITE_FRAME "write frame failed"
#define AE_TEXT_WRITE_TRAILER "write trailer failed"
/* the complete file could not take the output's name; it is removed */
#define AE_TEXT_RENAME "output rename failed"
#define AE_TEXT_NO_MEMORY "out of memory"

/*
 * audioextract_result - the outcome of a session.
 * Returns {"state":5,"ok":false,"error":"..."} for a failed session, otherwise
 *   {"state":S,"ok":true|false,"out_path":"...","out_size_bytes":N,"codec":"...","duration_ms":N,
 *    "packets_written":N,"elapsed_ms":N} ("ok" is true only when done), or {"error":"bad id"}.
 *   "out_path" is the path as given, whole.
 * The error of a failed session is one of the AE_TEXT_* texts below (AE_TEXT_OPEN_INPUT followed by ": "
 *   and the reason).
 * Ownership: a buffer of the session, overwritten by its next audioextract_result call and by the reuse of
 * the slot. Thread: the host thread, while the worker runs; does not block.
 */
AE_API const char *AE_CALL audioextract_result(int32_t id);

/*
 * audioextract_cancel - ask the session's worker to stop. Returns at once; the worker notices within its
 * current read or open (a network wait included) and ends in AE_STATE_CANCELLED, leaving no file of its
 * own. A session that has ended is not changed. A bad id is ignored. Thread: the host thread.
 */
AE_API void AE_CALL audioextract_cancel(int32_t id);

/*
 * audioextract_free - end the session and give its slot back; the id becomes bad.
 * Cancels a running worker and waits for its thread to end. Network reads, playlists and FIFOs (with or
 * without a writer) stop at once. On Windows a pipe read blocks in the system: free then returns once that
 * read returns.
 * A session that did not succeed leaves no file; a done session's output stays. free deletes nothing.
 * A bad id, or a second free of the same id, is ignored. Thread: the host thread.
 */
AE_API void AE_CALL audioextract_free(int32_t id);

/*
 * audioextract_version - "VERSION (libavformat MAJOR.MINOR.MICRO)": the library's version, as its build
 * defines it, and the libavformat it was built against. Ownership: one library buffer, rewritten by each
 * call. Thread: the host thread.
 */
AE_API const char *AE_CALL audioextract_version(void);

#ifdef __cplusplus
}
#endif

#endif /* AUDIOEXTRACT_H */
