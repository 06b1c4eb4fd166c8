// Program sequence: logging, command line, port table, SDK set-up, the job,
// its event loop and the clean-up.
#include <exception>
#include <syslog.h>

#include "qelt.h"

namespace {

port_table qelt_ports;
qelt_job qelt_job_state;

void set_buffer_limit(qelt_job &job)
{
    int limit = qelt_buffer_limit_get(job);
    if (limit < 0)
        syslog(LOG_ERR, "HFT buffer limit get failed \n");
    else
        syslog(LOG_DEBUG, "HFT buffer limit %dMB\n", limit);
    if (qelt_buffer_limit_set(job, qelt_buffer_limit_mb) != 0)
        syslog(LOG_ERR, "HFT buffer limit set failed\n");
}

// Waits for the job's completion event, skipping events of other jobs.
int run_event_loop(qelt_job &job)
{
    int status = qelt_event_other_job;
    while (status == qelt_event_other_job) {
        if (qelt_sigterm_pending() || qelt_event_wait(job) != 0 || qelt_sigterm_pending())
            return -1;
        status = qelt_event_process(job, qelt_ports);
    }
    return status == qelt_event_done ? 0 : -1;
}

int run_job(qelt_job &job, const qelt_args &args)
{
    qelt_job_config cfg;
    qelt_build_config(args, qelt_ports, cfg);
    if (qelt_job_start(job, cfg) != 0) {
        syslog(LOG_ERR, "HFT job start failed\n");
        return -1;
    }
    return run_event_loop(job);
}

int run(int argc, char **argv)
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
    qelt_run_guard guard(qelt_job_state);
    qelt_job &job = guard.job;
    if (qelt_sigterm_pending())
        return guard.finish(-1);
    if (qelt_init(job) != 0) {
        syslog(LOG_ERR, "qelt_init failed\n");
        return guard.finish(-1); // nothing is held
    }
    if (qelt_sigterm_pending())
        return guard.finish(-1);
    set_buffer_limit(job);
    if (qelt_sigterm_pending())
        return guard.finish(-1);

    // Without the event channel the job's completion could never be seen.
    int result = qelt_event_open(job);
    if (result == 0 && !qelt_sigterm_pending())
        result = run_job(job, args);
    return guard.finish(result);
}

} // namespace

int qelt_run_guard::finish(int result)
{
    done = true;
    if (qelt_sigterm_pending())
        return qelt_sigterm_cleanup(job);
    if (job.held >= qelt_hold::buffer)
        qelt_buffer_destroy(job); // a running transaction is not cancelled
    qelt_close(job);
    return result;
}

qelt_run_guard::~qelt_run_guard()
{
    if (!done)
        finish(-1);
}

// The one catch of the program: an allocation that fails anywhere ends the
// run as a failure, after the guard has given back what the run held.
int qelt_main(int argc, char **argv)
{
    try {
        return run(argc, argv);
    } catch (const std::exception &e) {
        syslog(LOG_ERR, "qelt failed: %s", e.what());
        return -1;
    }
}
