// The two control commands the agent sends: their text and NUL travel as one
// frame's payload. Constants only; any thread.
#pragma once

// Opens an incremental transfer: first message on every connection.
constexpr char kCtlIncremental[] = "ctlIncremental";
// Closes an incremental transfer: repeated until the server confirms.
constexpr char kCtlEndIncremental[] = "ctlEndIncremental";

// Payload sizes, NUL included (15 and 18 bytes; frames of 19 and 22).
constexpr int kCtlIncrementalSize = static_cast<int>(sizeof kCtlIncremental);
constexpr int kCtlEndIncrementalSize = static_cast<int>(sizeof kCtlEndIncremental);

// Control commands begin with these three letters, block messages with "abc".
constexpr char kCtlPrefix[] = "ctl";
