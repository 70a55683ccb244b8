#ifndef CLI_TEST_TIMING_H
#define CLI_TEST_TIMING_H

// bmsctl's fixed waits (the pace of writes, the upgrade's command delays, the
// report's sampling period and duration), cut to a percentage when the test-only
// variable BMSCTL_TEST_DELAY_PERCENT is set, so that the binary's tests run in
// seconds. Nothing but those tests sets it; the reply windows and timeouts are
// never scaled.

#include <QtGlobal>

inline int test_delay(int ms)
{
    bool ok = false;
    const int percent = qEnvironmentVariableIntValue("BMSCTL_TEST_DELAY_PERCENT", &ok);
    return ok && percent > 0 && percent < 100 ? ms * percent / 100 : ms;
}

#endif // CLI_TEST_TIMING_H
