// Names shared by the report writer and the compare command: what marks a
// file as a report of this program, and the outcomes of a run.
#pragma once

constexpr const char *report_format_name = "quillrun report";
// Raised when a change would make an older reader misread a report.
constexpr int report_format_version = 1;

constexpr const char *report_outcome_complete = "complete";
constexpr const char *report_outcome_interrupted = "interrupted";
constexpr const char *report_outcome_failed = "failed";
