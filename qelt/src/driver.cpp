// Program sequence: logging, command line, port table, SDK set-up, the job,
// its event loop and the clean-up.
#include <cstring>
#include <syslog.h>

#include "qelt.h"

namespace {

port_table qelt_ports;

// Waits for the job's completion event, skipping events of other jobs.
int run_event_loop(qelt_job &job)
{
    int status = qelt_event_other_job;
    while (status == qelt_event_other_job) {
        qelt_sigterm_check();
        if (qelt_event_wait(job) != 0)
            return -1;
        qelt_sigterm_check();
        status = qelt_event_process(job, qelt_ports);
    }
    return status == qelt_event_done ? 0 : -1;
}

} // namespace

int qelt_main(int argc, char **argv)
{
    openlog(nullptr, LOG_NDELAY, LOG_DAEMON);
    setlogmask(LOG_UPTO(LOG_INFO));
    syslog(LOG_DEBUG, "Qelt started\n");

    qelt_args args;
    qelt_parse_args(argc, argv, args);
    syslog(LOG_INFO, "job id - %d, inputs ports - %s, tc - %s, counter - %s, interval - %d, sample count - %d, verbose - %d",
           args.job_id, args.ports, args.tc, args.counter, args.interval, args.sample_count, args.verbose);

    qelt_sigterm_install();
    qelt_port_init(qelt_ports);
    qelt_sigterm_check();

    qelt_job &job = qelt_job_state;
    std::memset(&job.config, 0, sizeof job.config);
    if (qelt_init(job) != 0) {
        syslog(LOG_ERR, "qelt_init failed\n");
        return -1;
    }
    qelt_sigterm_check();

    int limit = qelt_buffer_limit_get(job);
    if (limit < 0)
        syslog(LOG_ERR, "HFT buffer limit get failed \n");
    else
        syslog(LOG_DEBUG, "HFT buffer limit %dMB\n", limit);
    if (qelt_buffer_limit_set(job, qelt_buffer_limit_mb) != 0)
        syslog(LOG_ERR, "HFT buffer limit set failed\n");
    qelt_sigterm_check();

    // Without the event channel the job's completion could never be seen.
    int result = qelt_event_open(job);
    qelt_sigterm_check();
    if (result == 0) {
        qelt_job_config cfg;
        qelt_build_config(args, qelt_ports, cfg);
        if (qelt_job_start(job, cfg) != 0) {
            syslog(LOG_ERR, "HFT job start failed\n");
            result = -1;
        } else {
            result = run_event_loop(job);
        }
    }

    qelt_sigterm_check();
    if (job.buffer_created)
        qelt_buffer_destroy(job);
    qelt_close(job);
    return result;
}
