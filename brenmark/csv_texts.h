// Translation files for spreadsheets: CSV (RFC 4180) in UTF-8, with the
// columns file,record,id,original,translation, one row per text record.
//
// Written with a UTF-8 byte-order mark (so that spreadsheet programs take the
// file as UTF-8), CRLF between rows, and fields quoted where they hold a
// comma, a quote, a line break or a blank at either end (quotes doubled
// inside). Read with or without the mark and with either line end; a line
// break inside a quoted field is part of the text (CRLF there reads as one
// line feed).
#pragma once

#include <string>
#include <string_view>

#include "brenmark/translation.h"

/// The byte-order mark and the row of column names.
void append_csv_header(std::string* out);

/// One entry as a row.
void append_csv_entry(const TextEntry& entry, std::string* out);

/// Reads a translation CSV into `out` (its source names the file in
/// messages). The first row must name the columns; every other row that is
/// not blank is an entry: `record` a decimal number, `id` a decimal text id
/// (or empty: not checked), an empty `translation` (or none) keeps the
/// original. Columns after the fifth must be empty. A malformed row, a field
/// that is not UTF-8 or a quote out of place is an error naming the line.
bool read_csv_texts(std::string_view csv, Translations* out, std::string* err);
