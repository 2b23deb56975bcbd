// The error codes of the messaging layer and their texts.
//
// Codes are negative: the text of code -k is entry k of a 42-entry table
// (0 "Successful" to -41 "Share quota full").  The channel, the stream and
// the daemons' clients all report through these codes, and log lines name
// them with PStreamErrorMessage.
#ifndef DRIFT_MESSAGING_PSTREAM_ERRORS_H_
#define DRIFT_MESSAGING_PSTREAM_ERRORS_H_

// Number of entries in the table (codes 0 down to -41).
inline constexpr int kPStreamErrorCount = 42;

// The text of a messaging error code; "Unknown error" for codes outside the
// table (positive codes and codes below -41).  The result is a static string.
const char* PStreamErrorMessage(int code);

#endif  // DRIFT_MESSAGING_PSTREAM_ERRORS_H_
