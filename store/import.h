// What the first open of the local store takes over from the files the
// program kept before it had a store: the lines of history.jsonl and the
// saved identity files. Internal to store/.
#pragma once

#include <optional>
#include <string>

#include "job_record.h"
#include "record_store.h"

// A job record from one line of history.jsonl (line `number`, from 1). Its
// UUID is made from the line's bytes and number, so taking the same file over
// twice, into two stores or after a store was lost, never doubles a job in
// the line database. Nothing (and why) when the line is no job.
std::optional<JobRecord> RecordFromHistoryLine(const std::string& line, int number,
                                               std::string* why);

// An identity from the text of a saved identity file; nothing when it is none.
std::optional<StoredIdentity> IdentityFromFile(const std::string& text, std::string* why);
