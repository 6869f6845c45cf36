user_pref("network.negotiate-auth.trusted-uris", "a.org, halvern.edu");
user_pref("network.auth.use-sspi", false);
