// What every front end hears from the jobs of a port: the log, the progress,
// the messages the operator must see, and each job's start and end. The
// window shows them in its widgets, the command line on the terminal and in
// its report.
#pragma once

#include <string_view>

#include "job.h"

class JobObserver {
 public:
  virtual ~JobObserver() = default;
  // UTF-8 text for the log pane; lines end in "\r\n", pieces may split them.
  virtual void LogWrite(std::string_view text) = 0;
  // A message the operator must acknowledge: the window's warning box
  // ("Warnung", one OK button).
  virtual void Warning(std::string_view /*text*/) {}
  // Every job that starts reports JobStarted once and then JobFinished once.
  virtual void JobStarted(Job /*job*/) {}
  virtual void JobFinished(Job /*job*/, const JobResult& /*result*/) {}
  // Something of the host side went wrong without failing the job (a record
  // or an identity that could not be kept on this machine), in plain words.
  virtual void HostWarning(std::string_view /*text*/) {}
  // The program command of `sector`, which spans [start, end) of the
  // flash, is about to go out: from now on the sector holds what this job
  // writes (a new board's serial number is used up once its identity sector
  // is programmed).
  virtual void SectorProgramming(int32_t /*sector*/, uint32_t /*start*/, uint32_t /*end*/) {}
  // A phase began (Count 0) or moved on.
  virtual void Progress(const JobProgress& /*progress*/) {}
};
