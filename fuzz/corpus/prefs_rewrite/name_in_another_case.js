user_pref("network.negotiate-auth.Trusted-URIs", "halvern.edu");
