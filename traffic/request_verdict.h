// A request's verdict: the gravest of its arguments' verdicts, as a proxy
// acts on it, and the escaping of request bytes (names, values, paths) for
// people and logs. mlfeed --judge and mlgate both take a request's verdict
// this way, so a recorded request and a live one are judged alike.
#pragma once

#include <string>

namespace traffic {

// From the least grave to the gravest; kNoArguments is a request without
// any argument to judge.
enum RequestVerdict { kNormal, kNotLearned, kUnknown, kPotential, kDefinite, kNoArguments, kKinds };

// "normal", "not_learned", "unknown_argument", "potential", "definite",
// "no_arguments"; "?" for anything else.
const char *request_verdict_name(int v);
// The request verdict an argument's verdict (MLV_*) contributes; kNormal for
// errors, which let traffic through.
int request_verdict_of(int mlv_verdict);
// The verdict (MLV_*) a request verdict stands for; MLV_NORMAL for
// kNoArguments.
int request_verdict_mlv(int v);
// value with non-printable bytes, '\\', '"' and tabs as \xHH, cut to max bytes
// of input (an ellipsis marks the cut).
std::string printable(const std::string &value, size_t max);

}  // namespace traffic
