// The LMAP control document: reading the controller's answer from its wire
// text (after key translation), the reader's failures, and the byte-exact
// control request that the agent sends.

#include "model/JsonMorpher.h"
#include "model/LmapControlDto.h"
#include "model/MeasurementTypeParameters.h"
#include "model/QosTaskConfigurations.h"

#include <boost/json.hpp>
#include <boost/system/system_error.hpp>
#include <gtest/gtest.h>

#include <functional>
#include <string>

namespace json = boost::json;
using namespace trevask::measurement_library;

namespace {

// As the controller connection reads an answer: translate wire names to
// member names with a fresh document's pairs, then parse.
std::unique_ptr<LmapControlDto> fromWire(std::string text) {
    JsonMorpher::morph(LmapControlDto().getKeyMap(), text);
    return LmapControlDtoParser(text);
}

// As the controller connection writes a request: serialise with member
// names, then translate to wire names.
std::string toWire(const LmapControlDto& dto) {
    std::string text = LmapControlDtoSerializer(dto);
    JsonMorpher::morph(dto.getKeyMap(), text);
    return text;
}

// What a call raised ("" when nothing).
std::string failure(const std::function<void()>& call) {
    try {
        call();
    } catch (const boost::system::system_error& e) {
        return "system_error";
    } catch (const std::exception& e) {
        return e.what();
    }
    return "";
}

const char* const kWireDocument = R"({
  "capabilities": {"version": "2.1.0", "tag": ["t1", "t2"],
                   "tasks": [{"name": "SPEED", "version": "1.0.0", "selected_measurement_peer_identifier": "peer-7"},
                             {"name": "QOS", "version": "1.0.0"}]},
  "agent": {"agent-id": "agent-42", "group-id": "probe_runner"},
  "tasks": [
    {"name": "SPEED", "program": "speed-prog",
     "option": [
       {"name": "server_port_udp", "value": "6142"},
       {"name": "parameters_speed", "value": "",
        "measurement-parameters": {"deserialize_type": "speed_params",
          "measurement_server": {"base_url": "https://ms.example"},
          "measurement_configuration": {"upload": [{"default": true, "streams": 4, "frameSize": 1024,
                                                    "bounds": {"lower": 0.5, "upper": 100}}],
                                        "download": []}}}]},
    {"name": "QOS", "program": "",
     "option": [
       {"name": "parameters_qos", "value": "",
        "measurement-parameters": {"deserialize_type": "qos_params",
          "objectives": {"TCP": [{"qostest": "tcp", "concurrency_group": 200, "qos_test_uid": "77",
                                  "timeout": "5000000000", "server_addr": "qos.example", "server_port": "5233",
                                  "out_port": "80"}]}}},
       {"name": "broken", "value": "x",
        "measurement-parameters": {"deserialize_type": "qos_params", "objectives": []}}]}
  ],
  "events": [
    {"name": "every-minute", "random-spread": 30,
     "event-type": {"deserialize_type": "EVENT_PERIODIC", "type": "PERIODIC", "interval": 60,
                    "start": "2026-01-01T00:00:00", "end": "2026-12-31T00:00:00"}},
    {"name": "now", "event-type": {"deserialize_type": "event_immediate"}}
  ],
  "additional-request-info": {"agent_uuid": "agent-42", "language": "de_AT", "anonymous_mode": true},
  "additional-response-info": {"provider_short_name": "ISP", "provider_name": "The ISP",
                               "public_ip_as_name": "AS1", "provider_country": "AT", "public_ip": "192.0.2.1"},
  "schedules": [
    {"name": "run-now", "start": "now", "stop": {}, "execution-mode": "PARALLEL",
     "tag": ["a"], "suppression-tag": ["s"], "state": "RUNNING", "storage": 1024, "invocations": 3,
     "suppressions": 1, "overlaps": 2, "failures": 4, "last-invocation": "2026-02-02T10:00:00",
     "action": [{"name": "act-speed", "task": "SPEED",
                 "option": [{"name": "o", "value": "v"}],
                 "destination": ["collector"], "tag": ["x"], "suppression-tag": ["y"], "state": "DISABLED",
                 "storage": 5, "invocations": 6, "suppressions": 7, "overlaps": 8, "failures": 9,
                 "last-invocation": "li", "lastCompletion": "lc", "lastStatus": -2, "lastMessage": "lm",
                 "lastFailedStatus": 13, "lastFailedMessage": "lfm"}]}
  ]
})";

}  // namespace

TEST(LmapControlDto, ReadsAControllerAnswerFromItsWireText) {
    const auto dto = fromWire(kWireDocument);
    ASSERT_TRUE(dto);

    EXPECT_EQ(dto->capabilities.version, "2.1.0");
    EXPECT_EQ(dto->capabilities.tag, (std::vector<std::string>{"t1", "t2"}));
    ASSERT_EQ(dto->capabilities.tasks.size(), 2u);
    EXPECT_EQ(dto->capabilities.tasks[0].selected_measurement_peer_identifier, "peer-7");
    EXPECT_EQ(dto->capabilities.tasks[1].name, "QOS");
    EXPECT_FALSE(dto->capabilities.tasks[1].selected_measurement_peer_identifier);

    EXPECT_EQ(dto->agent.agent_id, "agent-42");
    EXPECT_EQ(dto->agent.group_id, "probe_runner");

    // Tasks, options and their measurement parameters.
    ASSERT_EQ(dto->tasks.size(), 2u);
    const LmapTaskDto& speed = dto->tasks[0];
    EXPECT_EQ(speed.name, "SPEED");
    EXPECT_EQ(speed.program, "speed-prog");
    ASSERT_EQ(speed.option.size(), 2u);
    EXPECT_EQ(speed.option[0].name, "server_port_udp");
    EXPECT_EQ(speed.option[0].value, "6142");
    EXPECT_FALSE(speed.option[0].measurement_parameters);
    const auto* speedParams = dynamic_cast<SpeedMeasurementTypeParameters*>(speed.option[1].measurement_parameters.get());
    ASSERT_TRUE(speedParams);
    EXPECT_EQ(speedParams->base_url, "https://ms.example");
    ASSERT_TRUE(speedParams->measurement_configuration);
    ASSERT_EQ(speedParams->measurement_configuration->upload.size(), 1u);
    EXPECT_EQ(speedParams->measurement_configuration->upload[0].isDefault, true);  // "default" on the wire
    EXPECT_EQ(speedParams->measurement_configuration->upload[0].streams, 4);

    const LmapTaskDto& qos = dto->tasks[1];
    ASSERT_EQ(qos.option.size(), 2u);
    const auto* qosParams = dynamic_cast<QoSMeasurementTypeParameters*>(qos.option[0].measurement_parameters.get());
    ASSERT_TRUE(qosParams);
    ASSERT_EQ(qosParams->objectives.count("TCP"), 1u);
    const auto& tcpList = qosParams->objectives.at("TCP");
    ASSERT_EQ(tcpList.size(), 1u);
    const auto* tcp = dynamic_cast<TcpTaskConfiguration*>(tcpList[0].get());
    ASSERT_TRUE(tcp);
    EXPECT_EQ(tcp->concurrency_group, 200u);
    EXPECT_EQ(tcp->qos_test_uid, "77");
    EXPECT_EQ(tcp->server_addr, "qos.example");
    EXPECT_EQ(tcp->out_port, "80");
    // A defect inside the parameters costs only the parameters.
    EXPECT_EQ(qos.option[1].name, "broken");
    EXPECT_FALSE(qos.option[1].measurement_parameters);

    // Events.
    ASSERT_EQ(dto->events.size(), 2u);
    EXPECT_EQ(dto->events[0].name, "every-minute");
    EXPECT_EQ(dto->events[0].random_spread, 30u);
    const auto* periodic = dynamic_cast<LmapPeriodicEventDto*>(dto->events[0].eventType.get());
    ASSERT_TRUE(periodic);
    EXPECT_EQ(periodic->type, EventType::PERIODIC);
    EXPECT_EQ(periodic->interval, 60u);
    EXPECT_EQ(periodic->start, "2026-01-01T00:00:00");
    EXPECT_EQ(periodic->end, "2026-12-31T00:00:00");
    EXPECT_EQ(dto->events[1].random_spread, 0u);
    const auto* immediate = dynamic_cast<LmapImmediateEventDto*>(dto->events[1].eventType.get());
    ASSERT_TRUE(immediate);
    EXPECT_EQ(immediate->type, EventType::IMMEDIATE);

    // Client description and provider facts.
    EXPECT_EQ(dto->additional_request_info.agent_uuid, "agent-42");
    EXPECT_EQ(dto->additional_request_info.language, "de_AT");
    EXPECT_TRUE(dto->additional_request_info.anonymous_mode);
    EXPECT_FALSE(dto->additional_request_info.agent_type);
    EXPECT_EQ(dto->additional_response_info,
              (ProviderInfoDto{"ISP", "The ISP", "AS1", "AT", "192.0.2.1"}));

    // Schedules and actions.
    ASSERT_EQ(dto->schedules.size(), 1u);
    const LmapScheduleDto& schedule = dto->schedules[0];
    EXPECT_EQ(schedule.name, "run-now");
    EXPECT_TRUE(schedule.stop);
    EXPECT_EQ(schedule.executionMode, ExecutionMode::PARALLEL);
    EXPECT_EQ(schedule.suppressionTag, (std::vector<std::string>{"s"}));
    EXPECT_EQ(schedule.state, LmapStateDto::RUNNING);
    EXPECT_EQ(schedule.storage, 1024u);
    EXPECT_EQ(schedule.failures, 4u);
    EXPECT_EQ(schedule.lastInvocation, "2026-02-02T10:00:00");
    ASSERT_EQ(schedule.action.size(), 1u);
    const LmapActionDto& action = schedule.action[0];
    EXPECT_EQ(action.task, "SPEED");
    ASSERT_EQ(action.option.size(), 1u);
    EXPECT_EQ(action.option[0].value, "v");
    EXPECT_EQ(action.destination, (std::vector<std::string>{"collector"}));
    EXPECT_EQ(action.suppressionTag, (std::vector<std::string>{"y"}));
    EXPECT_EQ(action.state, LmapStateDto::DISABLED);
    EXPECT_EQ(action.lastInvocation, "li");
    EXPECT_EQ(action.lastStatus, -2);
    EXPECT_EQ(action.lastFailedMessage, "lfm");

    EXPECT_TRUE(dto->taskConfigurations.empty());
    EXPECT_FALSE(dto->velaTaskConfiguration);
}

TEST(LmapControlDto, AnEmptyDocumentKeepsEveryDefault) {
    for (const char* text : {"{}", R"({"capabilities":{}, "agent":{}})"}) {
        const auto dto = LmapControlDtoParser(text);
        EXPECT_EQ(dto->capabilities.version, "1.0.0") << text;
        EXPECT_TRUE(dto->capabilities.tasks.empty());
        EXPECT_FALSE(dto->agent.agent_id);
        EXPECT_TRUE(dto->tasks.empty() && dto->events.empty() && dto->schedules.empty());
        EXPECT_EQ(dto->additional_request_info, RequestInfo());
        EXPECT_EQ(dto->additional_response_info, ProviderInfoDto());
    }
}

TEST(LmapControlDto, ReaderFailuresEndTheRead) {
    struct Case {
        const char* text;
        std::string error;
    };
    const Case cases[] = {
        {"", "system_error"},
        {R"({"tasks": [})", "system_error"},
        {"[]", "not an object"},
        {R"({"tasks": {}})", "array required"},
        {R"({"tasks": ["SPEED"]})", "not an object"},
        {R"({"tasks": [{"name": 1}]})", "not a string"},
        {R"({"tasks": [{"option": [3]}]})", "not an object"},
        {R"({"capabilities": {"tag": [1]}})", "not a string"},
        {R"({"capabilities": {"tasks": ["x"]}})", "not an object"},
        {R"({"agent": null})", "not an object"},
        {R"({"events": [{"random_spread": -1}]})", "system_error"},
        {R"({"additional_request_info": "x"})", "not an object"},
        {R"({"additional_request_info": {"anonymous_mode": "yes"}})", "bool required"},
        {R"({"additional_response_info": []})", "not an object"},
        {R"({"schedules": [1]})", "not an object"},
        {R"({"schedules": [{"executionMode": "parallel"}]})",
         "Invalid enumerator name 'parallel' for enum type 'enum trevask::measurement_library::ExecutionMode'"},
    };
    for (const auto& c : cases) EXPECT_EQ(failure([&] { LmapControlDtoParser(c.text); }), c.error) << c.text;
}

TEST(LmapControlDto, TheReaderKeepsWhatItReadBeforeAFailure) {
    LmapControlDto dto;
    dto.agent.group_id = "old";
    const json::value value = json::parse(R"({"agent": {"agent_id": "a"}, "tasks": [{"name": "T"}], "events": 5})");
    EXPECT_EQ(failure([&] { LmapControlDtoReader(value, dto); }), "array required");
    EXPECT_EQ(dto.agent.agent_id, "a");
    EXPECT_FALSE(dto.agent.group_id);  // the agent record is replaced whole
    ASSERT_EQ(dto.tasks.size(), 1u);
}

TEST(LmapControlDto, AnEventKindIsOptional) {
    struct Case {
        const char* eventType;
        const char* kind;  // "periodic", "immediate" or "" for none
        EventType type;
        std::uint64_t interval;
    };
    const Case cases[] = {
        {R"({"deserialize_type": "EVENT_PERIODIC", "interval": 60})", "periodic", EventType::IMMEDIATE, 60},
        {R"({"deserialize_type": "event_immediate", "type": "PERIODIC"})", "immediate", EventType::PERIODIC, 0},
        {R"({"deserialize_type": "event_periodic", "type": "periodic"})", "", EventType::IMMEDIATE, 0},
        {R"({"deserialize_type": "event_periodic", "interval": "60"})", "", EventType::IMMEDIATE, 0},
        {R"({"type": "IMMEDIATE"})", "", EventType::IMMEDIATE, 0},
        {R"({"deserialize_type": "event_calendar"})", "", EventType::IMMEDIATE, 0},
        {R"({"deserialize_type": 1})", "", EventType::IMMEDIATE, 0},
        {"null", "", EventType::IMMEDIATE, 0},
        {R"("event_immediate")", "", EventType::IMMEDIATE, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.eventType);
        std::unique_ptr<LmapControlDto> dto;
        ASSERT_NO_THROW(dto = LmapControlDtoParser(std::string(R"({"events": [{"name": "e", "eventType": )") +
                                                   c.eventType + "}]}"));
        ASSERT_EQ(dto->events.size(), 1u);
        EXPECT_EQ(dto->events[0].name, "e");  // the event itself is always read
        const LmapEventTypeDto* kind = dto->events[0].eventType.get();
        const std::string got = dynamic_cast<const LmapPeriodicEventDto*>(kind)    ? "periodic"
                                : dynamic_cast<const LmapImmediateEventDto*>(kind) ? "immediate"
                                                                                   : "";
        EXPECT_EQ(got, c.kind);
        if (kind) {
            EXPECT_EQ(kind->type, c.type);
        }
        if (auto* periodic = dynamic_cast<const LmapPeriodicEventDto*>(kind)) {
            EXPECT_EQ(periodic->interval, c.interval);
        }
    }
}

TEST(LmapControlDto, DefaultDocumentIsWrittenWithEveryKey) {
    const LmapControlDto dto;
    EXPECT_EQ(LmapControlDtoSerializer(dto),
              R"({"capabilities":{"version":"1.0.0","tag":[],"tasks":[]},"agent":{},"tasks":[],"events":[],)"
              R"("additional_request_info":{"anonymous_mode":false},"additional_response_info":{},"schedules":[]})");
    EXPECT_EQ(toWire(dto),
              R"({"capabilities":{"version":"1.0.0","tag":[],"tasks":[]},"agent":{},"tasks":[],"events":[],)"
              R"("additional-request-info":{"anonymous_mode":false},"additional-response-info":{},"schedules":[]})");
}

TEST(LmapControlDto, ControlRequestIsWrittenByteExactInWireNames) {
    // The body that asks the controller for a measurement's tasks.
    LmapControlDto dto;
    dto.agent.agent_id = "agent-42";
    dto.agent.group_id = "probe_runner";
    dto.capabilities.version = "1.2.3+45";
    dto.capabilities.tasks.push_back({"SPEED", "1.0.0", std::string("peer-7")});
    dto.capabilities.tasks.push_back({"QOS", "1.0.0", std::nullopt});
    dto.capabilities.tasks.push_back({"PROGRAM", "1.0.0", std::nullopt});
    RequestInfo& info = dto.additional_request_info;
    info.agent_type = "DESKTOP";
    info.agent_uuid = "agent-42";
    info.language = "en_US";
    info.timezone = "UTC";
    info.os_name = "Debian GNU/Linux 12 (bookworm)";
    info.os_version = "12";
    info.os_platform = "Linux";
    info.api_level = "v1";
    info.model = "probe";
    info.code_name = "probe";
    info.boardid = "board-1";
    info.app_version_name = "1.2.3";
    info.app_version_code = 45;
    info.certified_measurement_uuid = "cert-9";

    EXPECT_EQ(toWire(dto),
              R"({"capabilities":{"version":"1.2.3+45","tag":[],"tasks":[)"
              R"({"name":"SPEED","version":"1.0.0","selected_measurement_peer_identifier":"peer-7"},)"
              R"({"name":"QOS","version":"1.0.0"},{"name":"PROGRAM","version":"1.0.0"}]},)"
              R"("agent":{"agent-id":"agent-42","group-id":"probe_runner"},"tasks":[],"events":[],)"
              R"("additional-request-info":{"agent_uuid":"agent-42","language":"en_US","timezone":"UTC",)"
              R"j("os_name":"Debian GNU/Linux 12 (bookworm)","os_version":"12","os_platform":"Linux",)j"
              R"("api_level":"v1","code_name":"probe","model":"probe","app_version_name":"1.2.3",)"
              R"("app_version_code":45,"boardid":"board-1","agent_type":"DESKTOP",)"
              R"("certified_measurement_uuid":"cert-9","anonymous_mode":false},)"
              R"("additional-response-info":{},"schedules":[]})");
}

TEST(LmapControlDto, WritesTasksEventsAndSchedulesAsTheWireCarriesThem) {
    // Written back, measurement parameters become null and an event kind
    // keeps only its "type".
    const auto dto = fromWire(kWireDocument);
    json::value written(json::object_kind);
    LmapControlDtoWriter(written.as_object(), *dto);
    const json::object& obj = written.as_object();

    EXPECT_EQ(json::serialize(obj.at("tasks").at(1)),
              R"({"name":"QOS","option":[{"name":"parameters_qos","value":"","measurement_parameters":null},)"
              R"({"name":"broken","value":"x","measurement_parameters":null}],"program":""})");
    EXPECT_EQ(json::serialize(obj.at("events")),
              R"([{"name":"every-minute","random_spread":30,"eventType":{"type":"PERIODIC"}},)"
              R"({"name":"now","random_spread":0,"eventType":{"type":"IMMEDIATE"}}])");
    EXPECT_EQ(json::serialize(obj.at("additional_response_info")),
              R"({"provider_short_name":"ISP","provider_name":"The ISP","public_ip_as_name":"AS1",)"
              R"("provider_country":"AT","public_ip":"192.0.2.1"})");
    EXPECT_EQ(obj.at("schedules").at(0).at("executionMode"), "PARALLEL");

    LmapEventDto noKind;
    noKind.name = "n";
    EXPECT_EQ(json::serialize(LmapEventDtoWriter(noKind)), R"({"name":"n","random_spread":0,"eventType":null})");
    LmapEventDto odd;
    odd.eventType = std::make_unique<LmapImmediateEventDto>();
    odd.eventType->type = static_cast<EventType>(9);
    EXPECT_EQ(json::serialize(LmapEventDtoWriter(odd)),
              R"j({"name":"","random_spread":0,"eventType":{"type":"(unnamed)"}})j");
}
