// Reception reports: the pieces of a log record's field texts, the two report line
// formats and the report file. Everything here is a pure function of texts, so a
// report reads the same whoever builds it; the page (U_MainReports.cpp) only gathers
// the texts.
//
// - A record's reception time enters as "yyyy-MM-dd hh:mm:ss", always with its time
//   (ReportDateTimeText): the date-time text of the fixed formats drops the time at
//   midnight, and the line would lose its time and its columns.
// - STATION of an identified record is CALLSIGN + " " + LOCATION + "," + COUNTRYCODE;
//   "UNID" has neither blank nor ",", and gives "UNID  ", "UNID", "UNID".
// - "Left-justified in N" pads with blanks to N and never cuts a longer text.
// - The file is 8-bit text with CR LF line ends.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "classlib/DateUtils.h"

namespace tilo {

// The field texts of one log record a report line is made of.
struct TReportRecord {
    std::string UtcReceived;  // "yyyy-MM-dd hh:mm:ss"
    std::string Freq;
    std::string SigQual;
    std::string IdLetter;
    std::string MsgType;
    std::string NavArea;
    std::string Station;
    std::string Dist;
};

enum TReportFormat : int32_t { rfNdbList = 0, rfKxr = 1 };
// rgHeadFoot's items.
enum TPersonalInfoPlace : int32_t { piNone = 0, piHeader = 1, piFooter = 2 };

// "yyyy-MM-dd hh:mm:ss" of Value, midnight included.
std::string ReportDateTimeText(classlib::TDateTime Value);

// The first 10 characters ("yyyy-MM-dd").
std::string DatePart(const std::string& UtcReceived);
// The 5 characters after the first 11 ("hh:mm").
std::string TimePart(const std::string& UtcReceived);
// The text before the first blank (all of it without one), left-justified in 6.
std::string CallsignPart(const std::string& Station);
// The text after the first blank up to the next "," or the end; without a blank, the
// text up to the first "," or all of it.
std::string LocationPart(const std::string& Station);
// The text after the first "," (all of it without one).
std::string CountryCodePart(const std::string& Station);
// Text padded with blanks to Width; a longer text stays whole.
std::string LeftJustified(const std::string& Text, std::size_t Width);
// The signal grade 0..5 of a SIGQUAL text: (SIGQUAL + 1) / 20 rounded, halves to even.
int32_t SignalGrade(const std::string& SigQual);

// "YYYYMMDD HHMM" + " " + FREQ + " $" + NAVAREA in two digits + IDLETTER + " " +
// (STATION + " ", left-justified in 20) + DIST.
std::string NdbListLine(const TReportRecord& R);
// FREQ, hh:mm, yyyy-MM-dd, call sign in 6, country code, location in 20, the message
// type's 20-character name and the signal grade, separated by single blanks.
std::string KxrLine(const TReportRecord& R);
std::string ReportLine(TReportFormat Format, const TReportRecord& R);

std::string ReportColumnHeader(TReportFormat Format);
// 53 "-" for NDBList, 75 for KX-R.
std::string ReportDashLine(TReportFormat Format);

// The lines of a memo's text the way a memo counts them: split at CR LF, LF or CR; a
// line break at the very end starts no further line; an empty text has none.
std::vector<std::string> MemoLines(const std::string& Text);

struct TReportInput {
    TReportFormat Format = rfNdbList;
    TPersonalInfoPlace PersonalInfoPlace = piNone;
    std::string LocalDateTime;  // "yyyy-MM-dd hh:mm:ss", local time
    std::vector<std::string> PersonalInfo;
    std::vector<std::string> Resume;
    std::vector<std::string> Raw;
};

// The report file's bytes, every line ended by CR LF: the generated line, "   ", the
// personal text as header, "   ", the column header and dash line, the report lines,
// an empty line, "RAW LOG", the raw lines, "  ", "-----" and the personal text as
// footer. The personal text is added only when it has more than one line.
std::string BuildReport(const TReportInput& Input);

// The proposed file name: "NDB" or "KXR" + the digits of the local date-time ("yyyyMMdd
// hhmmss") + ".TXT".
std::string ReportFileNameProposal(TReportFormat Format, const std::string& LocalDateTime);
// Empty when Name may be written under LOG/: not empty, no "/", not "." or "..";
// otherwise the reason ("invalid file name").
std::string CheckReportFileName(const std::string& Name);

}  // namespace tilo
