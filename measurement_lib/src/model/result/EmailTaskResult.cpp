#include "model/result/EmailTaskResult.h"

#include "model/result/WriterSupport.h"

namespace json = boost::json;

namespace trevask::measurement_library {

using namespace result_writing;

void EmailRelayWriter(json::value& value, const EmailRelay& relay) {
    json::object& obj = makeObject(value);
    setString(obj, "recv_from", relay.recv_from);
    setString(obj, "recv_by", relay.recv_by);
    setString(obj, "recv_via", relay.recv_via);
    setArray(obj, "recv_with", relay.recv_with, [](json::value& v, const std::string& s) { v = json::string(s); });
    setString(obj, "recv_id", relay.recv_id);
    setString(obj, "recv_for", relay.recv_for);
    setString(obj, "recv_date_time", relay.recv_date_time);
}

void EmailHeaderInfoWriter(json::value& value, const EmailHeaderInfo& header) {
    json::object& obj = makeObject(value);
    setArray(obj, "relays", header.relays, [](json::value& v, const std::unique_ptr<EmailRelay>& relay) {
        if (relay) EmailRelayWriter(v, *relay);  // an empty entry stays null
    });
    setUnsigned(obj, "header_count", header.header_count);
    setSigned(obj, "rpd_score", header.rpd_score);
    setBool(obj, "has_dkim_signature", header.has_dkim_signature);
    setString(obj, "authentication_results", header.authentication_results);
}

void EmailTaskResultWriter(json::value& value, const EmailTaskResult& r) {
    json::object& obj = makeObject(value);
    writeCommonTaskResultKeys(obj, r);
    setString(obj, "email_objective_smtp_host", r.email_objective_smtp_host);
    setUnsigned(obj, "email_objective_smtp_port", r.email_objective_smtp_port);
    setString(obj, "email_objective_smtp_username", r.email_objective_smtp_username);
    setString(obj, "email_objective_imap_host", r.email_objective_imap_host);
    setUnsigned(obj, "email_objective_imap_port", r.email_objective_imap_port);
    setString(obj, "email_objective_imap_username", r.email_objective_imap_username);
    setString(obj, "email_objective_imap_mailbox_name", r.email_objective_imap_mailbox_name);
    setString(obj, "email_objective_from_email", r.email_objective_from_email);
    setString(obj, "email_objective_from_name", r.email_objective_from_name);
    setString(obj, "email_objective_to_email", r.email_objective_to_email);
    setString(obj, "email_objective_to_name", r.email_objective_to_name);
    setUnsigned(obj, "email_objective_smtp_connect_timeout_ns", r.email_objective_smtp_connect_timeout_ns);
    setUnsigned(obj, "email_objective_imap_connect_timeout_ns", r.email_objective_imap_connect_timeout_ns);
    setUnsigned(obj, "email_objective_imap_search_delay_ns", r.email_objective_imap_search_delay_ns);
    setSigned(obj, "email_objective_imap_max_search_attempts", r.email_objective_imap_max_search_attempts);
    setBool(obj, "email_objective_delete_message_afterwards", r.email_objective_delete_message_afterwards);
    setBool(obj, "email_objective_fail_if_message_cannot_be_fetched", r.email_objective_fail_if_message_cannot_be_fetched);
    setUnsigned(obj, "email_result_smtp_connection_start_ns", r.email_result_smtp_connection_start_ns);
    setUnsigned(obj, "email_result_smtp_connection_duration_ns", r.email_result_smtp_connection_duration_ns);
    setUnsigned(obj, "email_result_smtp_authentication_start_ns", r.email_result_smtp_authentication_start_ns);
    setUnsigned(obj, "email_result_smtp_authentication_duration_ns", r.email_result_smtp_authentication_duration_ns);
    setUnsigned(obj, "email_result_smtp_send_mail_start_ns", r.email_result_smtp_send_mail_start_ns);
    setUnsigned(obj, "email_result_smtp_send_mail_duration_ns", r.email_result_smtp_send_mail_duration_ns);
    setUnsigned(obj, "email_result_imap_connection_start_ns", r.email_result_imap_connection_start_ns);
    setUnsigned(obj, "email_result_imap_connection_duration_ns", r.email_result_imap_connection_duration_ns);
    setUnsigned(obj, "email_result_imap_authentication_start_ns", r.email_result_imap_authentication_start_ns);
    setUnsigned(obj, "email_result_imap_authentication_duration_ns", r.email_result_imap_authentication_duration_ns);
    setUnsigned(obj, "email_result_imap_select_start_ns", r.email_result_imap_select_start_ns);
    setUnsigned(obj, "email_result_imap_select_duration_ns", r.email_result_imap_select_duration_ns);
    setUnsigned(obj, "email_result_imap_fetch_start_ns", r.email_result_imap_fetch_start_ns);
    setUnsigned(obj, "email_result_imap_fetch_duration_ns", r.email_result_imap_fetch_duration_ns);
    setUnsigned(obj, "email_result_imap_remove_start_ns", r.email_result_imap_remove_start_ns);
    setUnsigned(obj, "email_result_imap_remove_duration_ns", r.email_result_imap_remove_duration_ns);
    setUnsigned(obj, "email_result_message_sent_to_available_duration_ns",
                r.email_result_message_sent_to_available_duration_ns);
    setString(obj, "email_result_message_sent_date_time", r.email_result_message_sent_date_time);
    setString(obj, "email_result_message_available_date_time", r.email_result_message_available_date_time);
    setString(obj, "email_result_message_header_date_time", r.email_result_message_header_date_time);
    json::value& header = obj["email_result_header_info"];
    if (r.email_result_header_info) EmailHeaderInfoWriter(header, *r.email_result_header_info);
    setString(obj, "email_result_task_error", r.email_result_task_error);
    setSigned(obj, "email_result_imap_search_attempts", r.email_result_imap_search_attempts);
    setBool(obj, "email_result_imap_message_delete_successful", r.email_result_imap_message_delete_successful);
}

}  // namespace trevask::measurement_library
