#include "stub/oauth_flow.h"

#include <random>

#include "stub/url_text.h"

namespace pixolune::stub {
namespace {

constexpr const char* kDeniedQuery =
    "error=access_denied&error_reason=user_denied"
    "&error_description=The+user+denied+your+request.";

std::string Param(const OAuthFlow::Params& params, const char* name) {
    auto it = params.find(name);
    return it == params.end() ? "" : it->second;
}

bool IsWebAddress(const std::string& uri) {
    return uri.rfind("http://", 0) == 0 || uri.rfind("https://", 0) == 0;
}

// The redirect address may carry a query of its own; the error joins it.
std::string WithQuery(const std::string& uri, const std::string& query) {
    std::string base = uri.substr(0, uri.find('#'));
    return base + (base.find('?') == std::string::npos ? "?" : "&") + query;
}

// The client's state goes back with every redirect, as the grant requires.
std::string StateParam(const std::string& state) {
    return state.empty() ? "" : "&state=" + PercentEncode(state);
}

OAuthAnswer Redirect(const std::string& location) {
    OAuthAnswer answer;
    answer.status = 302;
    answer.location = location;
    answer.html = "<html><body><a href=\"" + HtmlEscape(location) + "\">Continue</a></body></html>";
    return answer;
}

std::string Page(const std::string& title, const std::string& content) {
    return "<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\"><title>" + HtmlEscape(title) +
           "</title></head>\n<body>\n<h1>" + HtmlEscape(title) + "</h1>\n" + content +
           "</body></html>\n";
}

std::string Hidden(const char* name, const std::string& value) {
    return std::string("<input type=\"hidden\" name=\"") + name + "\" value=\"" +
           HtmlEscape(value) + "\">\n";
}

OAuthAnswer LoginForm(const std::string& clientId, const std::string& redirectUri,
                      const std::string& state, const std::string& error) {
    std::string content;
    if (!error.empty())
        content += "<p id=\"error\" class=\"error\">" + HtmlEscape(error) + "</p>\n";
    content += "<form method=\"post\" action=\"/oauth/authorize/\">\n" + Hidden("step", "login") +
               Hidden("client_id", clientId) + Hidden("redirect_uri", redirectUri) +
               Hidden("response_type", "token") + Hidden("state", state) +
               "<label>Username <input type=\"text\" id=\"username\" name=\"username\"></label>\n"
               "<label>Password <input type=\"password\" id=\"password\" "
               "name=\"password\"></label>\n"
               "<button type=\"submit\" id=\"login\">Log in</button>\n</form>\n";
    OAuthAnswer answer;
    answer.html = Page("Log in to Pixolune", content);
    return answer;
}

OAuthAnswer ConsentForm(const std::string& ticket, const std::string& username) {
    std::string content =
        "<p>The application would like to read your photos and videos, signed in as " +
        HtmlEscape(username) + ".</p>\n<form method=\"post\" action=\"/oauth/authorize/\">\n" +
        Hidden("step", "consent") + Hidden("ticket", ticket) +
        "<button type=\"submit\" id=\"allow\" name=\"decision\" value=\"allow\">Allow</button>\n"
        "<button type=\"submit\" id=\"deny\" name=\"decision\" value=\"deny\">Deny</button>\n"
        "</form>\n";
    OAuthAnswer answer;
    answer.html = Page("Authorize access", content);
    return answer;
}

}  // namespace

OAuthAnswer OAuthFlow::CheckRequest(const std::string& clientId, const std::string& redirectUri,
                                    const std::string& responseType, const std::string& state) {
    if (!IsWebAddress(redirectUri)) {
        OAuthAnswer answer;
        answer.status = 400;
        answer.html =
            Page("Invalid request", "<p>redirect_uri must be an http or https address.</p>\n");
        return answer;
    }
    bool known = false;
    for (const char* id : kClientIds) known |= clientId == id;
    if (!known) return Redirect(WithQuery(redirectUri, "error=invalid_client" + StateParam(state)));
    if (responseType != "token") {
        return Redirect(
            WithQuery(redirectUri, "error=unsupported_response_type" + StateParam(state)));
    }
    return OAuthAnswer{};
}

OAuthAnswer OAuthFlow::Authorize(const Params& query, const Scenario&) {
    std::string clientId = Param(query, "client_id");
    std::string redirectUri = Param(query, "redirect_uri");
    {
        std::lock_guard<std::mutex> lock(mutex_);
        clientIdsSeen_.push_back(clientId);
    }
    const std::string state = Param(query, "state");
    OAuthAnswer refusal = CheckRequest(clientId, redirectUri, Param(query, "response_type"), state);
    if (refusal.status != 200) return refusal;
    return LoginForm(clientId, redirectUri, state, "");
}

OAuthAnswer OAuthFlow::Submit(const Params& form, const Scenario& scenario) {
    if (Param(form, "step") == "consent") return Consent(form);
    return Login(form, scenario);
}

OAuthAnswer OAuthFlow::Login(const Params& form, const Scenario& scenario) {
    std::string clientId = Param(form, "client_id");
    std::string redirectUri = Param(form, "redirect_uri");
    const std::string state = Param(form, "state");
    OAuthAnswer refusal = CheckRequest(clientId, redirectUri, Param(form, "response_type"), state);
    if (refusal.status != 200) return refusal;
    const Account* account = scenario.FindByUsername(Param(form, "username"));
    if (!account || account->password != Param(form, "password")) {
        return LoginForm(clientId, redirectUri, state,
                         "The username or password you entered is incorrect.");
    }
    std::string ticket = NewTicket();
    {
        std::lock_guard<std::mutex> lock(mutex_);
        grants_[ticket] = Grant{account->token, redirectUri, state};
    }
    return ConsentForm(ticket, account->username);
}

OAuthAnswer OAuthFlow::Consent(const Params& form) {
    Grant grant;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        auto it = grants_.find(Param(form, "ticket"));
        if (it == grants_.end()) {
            OAuthAnswer answer;
            answer.status = 400;
            answer.html = Page("Session expired", "<p>Please start the log-in again.</p>\n");
            return answer;
        }
        // A ticket is good for one decision only.
        grant = it->second;
        grants_.erase(it);
    }
    if (Param(form, "decision") == "allow") {
        return Redirect(grant.redirectUri.substr(0, grant.redirectUri.find('#')) +
                        "#access_token=" + grant.token + StateParam(grant.state));
    }
    return Redirect(WithQuery(grant.redirectUri, kDeniedQuery + StateParam(grant.state)));
}

std::vector<std::string> OAuthFlow::ClientIdsSeen() {
    std::lock_guard<std::mutex> lock(mutex_);
    return clientIdsSeen_;
}

std::string OAuthFlow::NewTicket() {
    static const char kHex[] = "0123456789abcdef";
    std::random_device device;
    std::string ticket;
    for (int i = 0; i < 32; ++i) ticket.push_back(kHex[device() % 16]);
    return ticket;
}

}  // namespace pixolune::stub
