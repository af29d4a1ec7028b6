// What the providers' current OAuth 2.0 endpoints check beyond the older ones, shared by the
// Google, Facebook and Microsoft modules of the simulator: PKCE (RFC 7636), return addresses
// registered exactly and without a query, Bearer tokens in the Authorization header, and
// Facebook's appsecret_proof.
#pragma once

#include <string>
#include <string_view>

#include "sim/OAuth2Grants.h"
#include "sim/Simulator.h"

namespace zelk::sim {

// Base64url (no padding) of the SHA-256 digest of Verifier: the S256 code challenge.
std::string PkceS256Challenge(std::string_view Verifier);

// True when Text is 43 to 128 characters from A-Z, a-z, 0-9 and "-._~", the form both a code
// verifier and a code challenge must have.
bool ValidPkceText(std::string_view Text);

// Reads "code_challenge" and "code_challenge_method" of an authorization request into Request.
// A method without a challenge, a method other than "S256" or "plain", or a challenge of the
// wrong form is refused: the text says why. A missing method means "plain". Empty: accepted
// (also when the request carries no challenge at all).
std::string ReadPkceChallenge(const TSimRequest& R, TAuthorizationRequest& Request);

// True when Verifier answers the challenge of the authorization request.
bool PkceVerifierMatches(const TAuthorizationRequest& Request, std::string_view Verifier);

// The return-address rule of the current endpoints: an absolute http(s) address without a
// query or fragment (the flow travels in "state"), and, when the application registered any,
// one of them character for character.
bool AcceptableReturnAddress(const TSimApp& App, const std::string& RedirectURI);

// The token of an "Authorization: Bearer <token>" header (scheme in any letter case), or empty.
std::string BearerToken(const TSimRequest& R);

// Facebook's appsecret_proof: the lower-case hex HMAC-SHA256 of Token keyed with Secret.
std::string AppSecretProof(std::string_view Token, std::string_view Secret);

// The scopes of a scope parameter, separated by any of Separators (blanks, and at Facebook and
// Microsoft commas too); empty items dropped.
std::vector<std::string> SplitScopeList(const std::string& Text,
                                        std::string_view Separators = ", ");

}  // namespace zelk::sim
