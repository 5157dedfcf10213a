// Decoder for raw deflate data (RFC 1951) of one archive entry.
#pragma once

// Decodes the current entry: takes its EntryRemaining bytes through
// NextByte and writes the output to OutputHandle in 32768-byte windows.
// Failures end the entry quietly; it always returns.
void InflateEntry();
