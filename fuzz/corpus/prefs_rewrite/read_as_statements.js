  user_pref ( "network.negotiate-auth.trusted-uris" , 'a.org, "b"' ) ; // mine
/* site */ user_pref("x", 1); user_pref("network.negotiate-auth.trusted-uris", "c.org"); # end
