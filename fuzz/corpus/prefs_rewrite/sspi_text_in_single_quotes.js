user_pref("network.negotiate-auth.trusted-uris", 'a.org user_pref("network.auth.use-sspi", false);');
