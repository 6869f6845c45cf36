// Mozilla User Preferences

	user_pref("network.auth.use-sspi", true);
user_pref("network.negotiate-auth.trusted-uris", "a.org")