2
# Quillon Version 1.0.0, build 65
# Do not edit!
#
# Format of this file:
#
#  The 2 on the first line of this file is the version number.
#
#   +--- Subject search flags
#   |
#   | +- content search flags
#   | |
#   | |	+ Search string
#   | |	|
#   1 3	Free
#
# Flags are or'ed together:
#
#  1 search for this string
#  2 whole word only
#  4 match case
#  8 fuzzy match

3 3	fuck
11 11	fucks
11 11	fucked
11 11	fucker
11 11	fuckers
11 11	fucking
11 11	fuckings
11 11	fuckhead
11 11	fuckheads
11 11	fuckface
11 11	fuckwit
11 11	fuckwits
11 11	fucktard
11 11	fuckboy
11 11	fuckup
11 11	fuckoff
11 11	fuckhole
11 11	motherfucker
11 11	motherfuckers
11 11	motherfucking
3 3	shit
11 11	shits
11 11	shitty
11 11	shittier
11 11	shithead
11 11	shitheads
11 11	shitface
11 11	shithole
11 11	shitload
11 11	shitbag
11 11	shitting
11 11	shitter
11 11	bullshit
11 11	bullshitter
11 11	bullshitting
11 11	horseshit
11 11	dipshit
11 11	dipshits
11 11	apeshit
3 3	cunt
11 11	cunts
11 11	cunting
11 11	cocksucker
11 11	cocksuckers
11 11	cocksucking
11 11	cockhead
11 11	cockheads
11 11	cocks
11 11	dickhead
11 11	dickheads
11 11	dickwad
11 11	dickwads
11 11	dickface
11 11	dickhole
11 11	dicks
11 11	prick
11 11	pricks
3 3	twat
11 11	twats
11 11	bitch
11 11	bitches
11 11	bitching
11 11	bitchy
11 11	bitchass
11 11	bastard
11 11	bastards
11 11	asshole
11 11	assholes
11 11	arsehole
11 11	arseholes
3 3	ass
11 11	asshat
11 11	asshats
11 11	asswipe
11 11	asswipes
11 11	assclown
11 11	asskisser
11 11	assface
3 3	arse
11 11	jackass
11 11	jackasses
11 11	dumbass
11 11	dumbasses
11 11	smartass
11 11	badass
3 3	wank
11 11	wanker
11 11	wankers
11 11	wanking
11 11	wanks
11 11	tosser
11 11	tossers
11 11	bollocks
11 11	bollocking
11 11	bugger
11 11	buggers
11 11	buggered
3 3	bloody hell
3 3	damn
11 11	damned
11 11	damnit
11 11	goddamn
11 11	goddamned
11 11	goddamnit
11 11	goddam
3 3	piss
11 11	pissed
11 11	pisser
11 11	pissing
11 11	pisses
11 11	pisshead
3 3	pissed off
3 3	crap
11 11	crappy
11 11	craps
3 3	turd
11 11	turds
3 3	slut
11 11	sluts
11 11	slutty
11 11	whore
11 11	whores
11 11	whorehouse
11 11	skank
11 11	skanks
11 11	skanky
3 3	hoes
3 3	porn
11 11	porno
11 11	pornography
11 11	pornographic
11 11	pornstar
11 11	pornstars
3 3	xxx
3 3	nude
11 11	nudes
11 11	nudity
11 11	naked
11 11	topless
11 11	pussy
11 11	pussycat
11 11	pussies
3 3	tits
11 11	titties
11 11	titty
11 11	boobs
11 11	boobies
11 11	hooters
11 11	penis
11 11	penises
11 11	vagina
11 11	vaginas
3 3	clit
11 11	clitoris
11 11	dildo
11 11	dildos
11 11	vibrator
11 11	vibrators
11 11	orgasm
11 11	orgasms
11 11	orgasmic
3 3	orgy
11 11	orgies
11 11	blowjob
11 11	blowjobs
11 11	handjob
11 11	handjobs
11 11	rimjob
11 11	cumshot
11 11	cumshots
11 11	cumming
3 3	jizz
11 11	spunk
11 11	cumslut
11 11	creampie
11 11	gangbang
11 11	gangbangs
11 11	gangbanged
11 11	bukkake
11 11	threesome
11 11	threesomes
11 11	hardcore
11 11	erotic
11 11	erotica
11 11	fetish
11 11	fetishes
11 11	bondage
11 11	masturbate
11 11	masturbates
11 11	masturbating
11 11	masturbation
3 3	jerk off
3 3	jerking off
3 3	milf
11 11	milfs
11 11	hentai
11 11	camgirl
11 11	camgirls
11 11	sexcam
11 11	sexcams
11 11	horny
11 11	hornier
3 3	sexy
11 11	stripper
11 11	strippers
11 11	escorts
11 11	hooker
11 11	hookers
11 11	bimbo
11 11	bimbos
3 3	anal
3 3	anus
11 11	butthole
11 11	buttplug
11 11	felch
11 11	fisting
3 3	rape
11 11	raped
11 11	rapist
11 11	incest
11 11	bestiality
11 11	pedophile
11 11	queef
11 11	smegma
11 11	scrotum
11 11	testicle
11 11	testicles
11 11	ballsack
11 11	nutsack
11 11	boner
11 11	boners
11 11	schlong
11 11	knobhead
11 11	knobend
11 11	bellend
11 11	minge
11 11	douche
11 11	douchebag
11 11	douchebags
11 11	scumbag
11 11	scumbags
11 11	moron
11 11	morons
11 11	retard
11 11	retarded
11 11	retards
11 11	wetback
3 3	spic
3 3	gook
3 3	kike
11 11	nigger
11 11	niggers
11 11	nigga
11 11	niggas
11 11	faggot
11 11	faggots
3 3	fag
3 3	fags
11 11	tranny
11 11	raghead
11 11	towelhead
11 11	jigaboo
11 11	beaner
11 11	honky
3 3	cracker ass
3 3	son of a bitch
3 3	sons of bitches
3 3	piece of shit
3 3	go to hell
3 3	kiss my ass
3 3	eat shit
3 3	suck my dick
3 3	suck my cock
3 3	shut the fuck up
3 3	what the fuck
3 3	holy shit
3 3	fuck you
3 3	fuck off
3 3	screw you
3 3	up yours
3 3	blow me
3 3	hot sex
3 3	live sex
3 3	free sex
3 3	sex video
3 3	sex videos
3 3	sex tape
3 3	sex chat
3 3	adult video
3 3	adult videos
3 3	adult content
3 3	adult site
3 3	adult dating
3 3	barely legal
3 3	teen sex
3 3	hot teens
3 3	naughty girls
3 3	horny girls
3 3	horny housewives
3 3	lonely housewives
3 3	wet pussy
3 3	big tits
3 3	big boobs
3 3	huge cock
3 3	big cock
3 3	enlarge your penis
3 3	penis enlargement
3 3	penis pills
3 3	bigger penis
3 3	longer penis
3 3	last longer in bed
3 3	rock hard
3 3	hard on
3 3	sex drive
3 3	see me naked
3 3	nude pics
3 3	naked pics
3 3	nude photos
3 3	xxx videos
3 3	xxx movies
3 3	porn videos
3 3	free porn
3 3	webcam girls
3 3	cam girls
3 3	strip show
3 3	one night stand
3 3	hook up tonight
3 3	f buddy
3 3	fuck buddy
3 3	booty call
3 3	milf hunter
3 3	mother fucker
3 3	cock sucker
3 3	dick head
3 3	butt sex
3 3	oral sex
3 3	anal sex
3 3	group sex
3 3	gay porn
3 3	lesbian porn
3 3	shemale
3 3	jack off
3 3	beat off
3 3	getting laid
3 3	get laid
3 3	sexual stamina
3 3	erectile dysfunction
