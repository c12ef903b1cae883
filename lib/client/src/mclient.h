/*
 * Fixed-layout records and callback types of the speed-test client's flat C
 * calling interface. Little-endian, natural alignment; the caller zero-fills
 * a record before setting fields, so padding bytes are zero.
 */
#ifndef VELA_MCLIENT_H
#define VELA_MCLIENT_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/*
 * Configuration, read once when a client is created. Flags: any non-zero
 * value means true. Texts: NUL-terminated UTF-8, copied by the client.
 * "_ms" fields are whole milliseconds, "_s" fields whole seconds.
 */
typedef struct mclient_config {
    const char* host;                       /* must not be null */
    uint16_t port_tcp;
    uint16_t port_udp;
    uint32_t tls;
    uint32_t skip_certificate_validation;
    uint32_t progress_update_limit_ms;
    uint32_t raw_history_sampling_rate_ms;
    uint32_t run_rtt_tcp_phase;
    uint32_t run_rtt_udp_phase;
    uint32_t skip_dl_pretest;
    uint32_t run_downlink_phase;
    uint32_t skip_ul_pretest;
    uint32_t run_uplink_phase;
    uint32_t rtt_tcp_payload_size;
    uint32_t rtt_tcp_num_packets;
    uint32_t rtt_tcp_delay_ms;
    uint32_t rtt_tcp_timeout_s;
    uint32_t rtt_udp_payload_size;
    uint32_t rtt_udp_num_packets;
    uint32_t rtt_udp_delay_ms;
    uint32_t rtt_udp_timeout_s;
    uint32_t dl_pretest_duration_s;
    uint32_t dl_duration_s;
    uint32_t dl_slow_start_duration_s;
    uint8_t dl_num_connections;             /* 3 padding bytes follow */
    uint32_t ul_pretest_duration_s;
    uint32_t ul_duration_s;
    uint32_t ul_slow_start_duration_s;
    uint8_t ul_num_connections;             /* 7 padding bytes follow */
    const char* token;                      /* null = none */
    const char* secret_key;                 /* null = none */
    uint32_t ipv4_only;
    uint32_t ipv6_only;
} mclient_config;

/*
 * Progress of a run. Phases: 1 DOWNLINK_PRETEST, 2 RTT_TCP, 3 RTT_UDP,
 * 4 DOWNLINK, 5 UPLINK_PRETEST, 6 UPLINK. Percentages run from 0 to 100.
 * Values a record does not carry are 0.
 */
typedef struct mclient_progress {
    uint32_t phase;
    float phase_progress;
    float total_progress;
    uint64_t rtt_ns;          /* RTT_TCP average, only in the record ending that phase */
    uint64_t reserved;        /* always 0 */
    double download_bps;      /* DOWNLINK records only */
    double upload_bps;        /* UPLINK records only */
} mclient_progress;

/* Called from a worker thread of the run, one call at a time; the record
 * lives only during the call. */
typedef void (*mclient_progress_fn)(const mclient_progress* progress);
/* Called at most once, on the thread that runs the measurement, with the
 * result JSON; the text lives only during the call. */
typedef void (*mclient_result_fn)(const char* result_json);
/* Called at most once, like the result callback, with the failure text;
 * never in the same run as the result callback. */
typedef void (*mclient_error_fn)(const char* error_text);

/* Opaque client handle owned by the library. */
typedef struct mclient_client* mclient_handle;

/*
 * Creates a client from the record (texts are copied) with the log verbosity
 * (0 = errors only ... 4 = everything) and stores its handle. 0 on success;
 * -1 and nothing stored for a null argument or host, a text that is not
 * UTF-8, or a configuration that does not validate.
 */
int32_t mclient_create(const mclient_config* config, uint32_t verbosity, mclient_handle* handle);

/*
 * Runs one complete measurement; blocks until it has ended. 0 after the
 * result callback was called with the result JSON; -1 otherwise, after the
 * error callback was called with the failure text (unless the text cannot be
 * passed as a C string, or the handle is null).
 */
int32_t mclient_run(mclient_handle handle, mclient_progress_fn progress, mclient_result_fn result,
                    mclient_error_fn error);

/*
 * Stops a running measurement and releases the client; waits until a run on
 * another thread has ended. A null handle does nothing.
 */
void mclient_free(mclient_handle handle);

#ifdef __cplusplus
}  /* extern "C" */
#define VELA_MCLIENT_STATIC_ASSERT(cond, msg) static_assert(cond, msg)
#else
#define VELA_MCLIENT_STATIC_ASSERT(cond, msg) _Static_assert(cond, msg)
#endif

VELA_MCLIENT_STATIC_ASSERT(sizeof(mclient_config) == 144, "mclient_config is 144 bytes");
VELA_MCLIENT_STATIC_ASSERT(offsetof(mclient_config, dl_num_connections) == 0x60, "dl_num_connections at 0x60");
VELA_MCLIENT_STATIC_ASSERT(offsetof(mclient_config, ul_pretest_duration_s) == 0x64, "ul_pretest_duration_s at 0x64");
VELA_MCLIENT_STATIC_ASSERT(offsetof(mclient_config, ul_num_connections) == 0x70, "ul_num_connections at 0x70");
VELA_MCLIENT_STATIC_ASSERT(offsetof(mclient_config, token) == 0x78, "token at 0x78");
VELA_MCLIENT_STATIC_ASSERT(offsetof(mclient_config, ipv6_only) == 0x8C, "ipv6_only at 0x8C");
VELA_MCLIENT_STATIC_ASSERT(sizeof(mclient_progress) == 48, "mclient_progress is 48 bytes");
VELA_MCLIENT_STATIC_ASSERT(offsetof(mclient_progress, rtt_ns) == 0x10, "rtt_ns at 0x10");
VELA_MCLIENT_STATIC_ASSERT(offsetof(mclient_progress, upload_bps) == 0x28, "upload_bps at 0x28");

#undef VELA_MCLIENT_STATIC_ASSERT

#endif /* VELA_MCLIENT_H */
