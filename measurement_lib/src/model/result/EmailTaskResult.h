#pragma once
// Result of the e-mail test: one SMTP send and the IMAP steps that find,
// fetch and remove the message. Holds no password.

#include "model/result/TaskResult.h"

#include <boost/json/fwd.hpp>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace trevask::measurement_library {

// One Received trace header field, split into its clauses.
struct EmailRelay {
    std::string recv_from;
    std::string recv_by;
    std::string recv_via;
    std::vector<std::string> recv_with;
    std::string recv_id;
    std::string recv_for;
    std::string recv_date_time;
};

struct EmailHeaderInfo {
    std::vector<std::unique_ptr<EmailRelay>> relays;  // entries may be empty
    std::uint32_t header_count = 0;
    std::int32_t rpd_score = 0;
    bool has_dkim_signature = false;
    std::string authentication_results;
};

struct EmailTaskResult : TaskResult {
    std::string email_objective_smtp_host;
    std::uint16_t email_objective_smtp_port = 0;
    std::string email_objective_smtp_username;
    std::string email_objective_imap_host;
    std::uint16_t email_objective_imap_port = 0;
    std::string email_objective_imap_username;
    std::string email_objective_imap_mailbox_name;
    std::string email_objective_from_email;
    std::string email_objective_from_name;
    std::string email_objective_to_email;
    std::string email_objective_to_name;
    std::uint64_t email_objective_smtp_connect_timeout_ns = 0;
    std::uint64_t email_objective_imap_connect_timeout_ns = 0;
    std::uint64_t email_objective_imap_search_delay_ns = 0;
    std::int32_t email_objective_imap_max_search_attempts = 0;
    bool email_objective_delete_message_afterwards = false;
    bool email_objective_fail_if_message_cannot_be_fetched = false;
    std::uint64_t email_result_smtp_connection_start_ns = 0;
    std::uint64_t email_result_smtp_connection_duration_ns = 0;
    std::uint64_t email_result_smtp_authentication_start_ns = 0;
    std::uint64_t email_result_smtp_authentication_duration_ns = 0;
    std::uint64_t email_result_smtp_send_mail_start_ns = 0;
    std::uint64_t email_result_smtp_send_mail_duration_ns = 0;
    std::uint64_t email_result_imap_connection_start_ns = 0;
    std::uint64_t email_result_imap_connection_duration_ns = 0;
    std::uint64_t email_result_imap_authentication_start_ns = 0;
    std::uint64_t email_result_imap_authentication_duration_ns = 0;
    std::uint64_t email_result_imap_select_start_ns = 0;
    std::uint64_t email_result_imap_select_duration_ns = 0;
    std::uint64_t email_result_imap_fetch_start_ns = 0;
    std::uint64_t email_result_imap_fetch_duration_ns = 0;
    std::uint64_t email_result_imap_remove_start_ns = 0;
    std::uint64_t email_result_imap_remove_duration_ns = 0;
    std::uint64_t email_result_message_sent_to_available_duration_ns = 0;
    std::string email_result_message_sent_date_time;
    std::string email_result_message_available_date_time;
    std::string email_result_message_header_date_time;
    std::unique_ptr<EmailHeaderInfo> email_result_header_info;  // may be empty
    std::string email_result_task_error;
    std::int32_t email_result_imap_search_attempts = 0;
    bool email_result_imap_message_delete_successful = false;
};

void EmailTaskResultWriter(boost::json::value& value, const EmailTaskResult& result);
void EmailHeaderInfoWriter(boost::json::value& value, const EmailHeaderInfo& header);
void EmailRelayWriter(boost::json::value& value, const EmailRelay& relay);

}  // namespace trevask::measurement_library
