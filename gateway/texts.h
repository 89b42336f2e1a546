// Fixed texts of the gateway. The application and the people reading the
// error log rely on them byte for byte.
#pragma once

#include <string_view>

namespace qg::text {

inline constexpr std::string_view version = "Quillgate 3.00.02";
inline constexpr std::string_view version_variable = "DllVersion";
inline constexpr std::string_view output_file_head = "&OUTPUT+FILE=";
inline constexpr std::string_view variables_tail = "&\r\n";
inline constexpr std::string_view form_marker = "#@$ FORM VARIABLES $@#";
inline constexpr std::string_view line_end = "\r\n";

inline constexpr std::string_view settings_section = "zrcgi";
inline constexpr std::string_view key_path = "Path";
inline constexpr std::string_view key_timeout = "Timeout";
inline constexpr std::string_view key_poll_time = "PollTime";
inline constexpr std::string_view key_template = "Template";
inline constexpr std::string_view key_full_values = "FullValues";
inline constexpr std::string_view key_binary_body = "BinaryBody";
inline constexpr std::string_view default_template = "qg_";
inline constexpr std::string_view output_prefix = "cgi";
inline constexpr std::string_view log_file_name = "zrCGIErr.txt";
inline constexpr std::string_view content_length = "CONTENT_LENGTH";
// Set by a FastCGI wrapper (fcgiwrap) for the CGI programs it runs.
inline constexpr std::string_view fastcgi_role = "FCGI_ROLE";

inline constexpr std::string_view home_page = "http://www.tallmere.com/quillgate/";

inline constexpr std::string_view default_header = "HTTP/1.0 200 OK\r\nContent-type: text/html\r\n\r\n";

// Log entries, page titles and page messages.
inline constexpr std::string_view log_timed_out = "Request timed out...";
inline constexpr std::string_view title_timed_out = "Request Timed Out";
inline constexpr std::string_view page_timed_out =
    "The application took too long to respond and the request was timed out.";

inline constexpr std::string_view log_unreadable = "Error reading server output";
inline constexpr std::string_view title_unreadable = "Error reading output";
inline constexpr std::string_view page_unreadable = "Unable to read the application's output.";

inline constexpr std::string_view title_no_output = "An error occurred";
inline constexpr std::string_view page_no_output = "The application returned no output to the Web server (qg.exe)...";

inline constexpr std::string_view log_exception = "An exception occurred in qg.exe";
inline constexpr std::string_view title_exception = "Quillgate Error";
inline constexpr std::string_view page_exception = "An exception occurred during qg.exe request processing...";

inline constexpr std::string_view log_not_passed = "Unable to pass the request to the application";
inline constexpr std::string_view title_not_passed = "Quillgate Error";
inline constexpr std::string_view page_not_passed = "The request could not be passed to the application.";

inline constexpr std::string_view log_no_settings = "Unable to find the settings file: the program's path is unknown";
inline constexpr std::string_view title_no_settings = "Quillgate Error";
inline constexpr std::string_view page_no_settings =
    "The gateway could not find its settings file, so the request was not passed to the application.";

}  // namespace qg::text
