// What a run through kelvord does differently from one on a port of its own:
// the scan is the service's, the events come from the service, and what
// reaches past the service's queue (-B, -w, a backup's directory) is refused.
#pragma once

class OrvantiCom;

// The scan of the line by the service, printed as the run prints its own.
int server_scan(OrvantiCom& com);
// The service's events, printed as they come, until it goes (or the run is stopped).
int server_watch();
// The run's backup, restore or copy of users (com.work) on the service's
// line: the backup's files written into the run's directory, a restore's and
// a copy's source read from it; printed as a run on the port prints them.
int server_work(OrvantiCom& com);
// The error line of what a run through the service cannot do; FRONT_REFUSED.
int refuse_through_server(const char* why);
