// The GrantAccess operation of the access service simulator and its log.
#pragma once

// Seconds since start, for the t= of every log line.
double sim_clock(void);
